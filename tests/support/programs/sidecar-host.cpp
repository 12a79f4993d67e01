// A host that starts a profile's guarded sidecar and, with "attach", a
// Chromium-style application under supervision attached to it; then prints
// one JSON line and waits to be killed, as a crashing host would be.
//   sidecar-host BASE PROFILE-UUID ENGINE GUARDIAN APP ECHO-URL plain|attach [LINK]
// The line names the engine, the port, the connection and, attached, the
// application's run.

#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include <nlohmann/json.hpp>

#include "core/process/ProcessSupervisor.h"
#include "core/proxy/VLESSConnection.h"
#include "core/proxy/XraySidecarSupervisor.h"

int main(int argc, char** argv) {
  using namespace korvelin;
  if (argc != 8 && argc != 9)
    return 2;
  ::signal(SIGPIPE, SIG_IGN);
  const std::string base = argv[1], engine = argv[3], guardian = argv[4], app = argv[5],
                    echo = argv[6];
  const bool attach = std::string(argv[7]) == "attach";
  const Uuid id = *Uuid::parse(argv[2]);
  ProfilePaths paths(id, base);
  ProfilePreparer(base).prepare(paths);
  XraySidecarSupervisor sidecar([engine] { return engine; },
                                [echo](std::uint16_t port, double limit) {
                                  return XraySidecarSupervisor::curlEgressProbe(port, echo, limit);
                                },
                                &XraySidecarSupervisor::lsofListenerVerifier,
                                [guardian] { return guardian; });
  sidecar.initializeManagedProfile(paths);
  const VLESSRealityConfiguration configuration(
      argc == 9 ? argv[8]
                : "vless://b831381d-6324-4d53-ad4f-8cda48b30811@127.0.0.1:443?type=tcp&fp=chrome"
                  "&security=reality&pbk=SbVKOEMjK0sIlbwg4akyBg5mL5KZwwB-ed4eEE7YnRc"
                  "&sid=6ba85179e30d4fc2&sni=www.example.com&flow=xtls-rprx-vision");
  const Uuid connection = Uuid::random();
  const auto handle = sidecar.start(id, connection, configuration, paths);
  nlohmann::json line = {
      {"engine", handle.processID}, {"port", handle.loopbackPort}, {"connection", connection}};
  ProcessSupervisor supervisor;
  if (attach) {
    ProcessLaunchPlan plan{
        app,
        {"--user-data-dir=" + paths.userData(), "--proxy-server=" + handle.localProxy().uri()},
        {},
        paths,
        std::nullopt};
    const auto run = supervisor.start(id, plan, nullptr, nullptr);
    sidecar.attach(id, run);
    line["app"] = run.rootPID;
    line["run"] = run;
  }
  std::cout << line.dump() << std::endl;
  for (;;)
    ::pause();
}
