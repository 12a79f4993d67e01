// korvelin-browser-shim URL
//
// The browser of a Claude profile: Korvelin starts Claude with BROWSER naming
// this program and CLAUDE_BROWSER_BRIDGE naming the profile's private bridge.
// Each link Claude opens is sent over the bridge, where Korvelin opens it in
// the paired Chrome profile. It prints nothing (the application that runs it
// shows no output); the exit status tells: 0 when the link was taken, 1 when
// it was declined, 2 when the bridge could not be asked or the command line
// is not one link.

#include <cstdlib>

#include "core/apps/ClaudeBrowserBridge.h"

int main(int argc, char** argv) {
  if (argc != 2)
    return 2;
  const char* bridge = std::getenv("CLAUDE_BROWSER_BRIDGE");
  const auto decision = korvelin::ClaudeBrowserBridgeRequest::ask(bridge ? bridge : "", argv[1]);
  if (!decision)
    return 2;
  return *decision == korvelin::ClaudeBrowserBridgeDecision::handled ? 0 : 1;
}
