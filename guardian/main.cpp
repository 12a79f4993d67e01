// korvelin-xray-guardian --xray XRAY --socket SOCKET
//
// Runs one Xray process for as long as its owner (whoever holds the write end
// of standard input) or an attached controller lives, and answers STOP,
// ATTACH and STATUS on a private control socket.

#include <signal.h>

#include "guardian/Guardian.h"

int main(int argc, char** argv) {
  // A client that hangs up before its reply must not kill the guardian.
  ::signal(SIGPIPE, SIG_IGN);
  return korvelin::guardian::runGuardian(std::vector<std::string>(argv, argv + argc));
}
