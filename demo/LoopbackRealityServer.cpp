#include "demo/LoopbackRealityServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "core/platform/FileUtil.h"
#include "core/platform/LocalSocket.h"
#include "core/platform/ScopedFD.h"
#include "core/process/ToolProcess.h"

namespace korvelin::demo {

using nlohmann::json;
using namespace std::chrono_literals;

namespace {

constexpr auto kToolTimeout = 30s;
constexpr auto kListenTimeout = 20s;
constexpr std::size_t kToolOutputLimit = 64 * 1024;
constexpr const char* kServerName = "reality.korvelin.test";
constexpr const char* kUserEmail = "profile@korvelin.test";

// A log, for the message of a server that did not start.
std::string readLog(const std::string& path) {
  return platform::readSmallFile(path, 64 * 1024).value_or("");
}

// What `xray ARGUMENTS` prints, or std::runtime_error.
std::string runEngineTool(const std::string& xray, const std::vector<std::string>& arguments) {
  const auto result = runTool(xray, arguments, kToolEnvironment, kToolOutputLimit, kToolTimeout);
  if (result.exitCode != 0)
    throw std::runtime_error("xray " + arguments.front() + " failed: " + result.output);
  return result.output;
}

// "Name: value" lines of a key generator's output, by a word in the name.
std::string generatedValue(const std::string& output, const std::string& word) {
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos)
      continue;
    std::string name = line.substr(0, colon);
    for (char& c : name)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.find(word) != std::string::npos)
      return line.substr(colon + 2);
  }
  throw std::runtime_error("no \"" + word + "\" in generator output: " + output);
}

// `xray run -config stdin:` with `configuration` for a fresh port, its output
// in `logPath`, waited for until it listens. A port taken by someone else
// between choosing and binding makes the engine exit; that costs one more
// attempt with another port.
uint16_t startListening(ChildProcess& process,
                        const std::string& xray,
                        const std::string& what,
                        const std::string& logPath,
                        const std::function<json(uint16_t)>& configuration) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const uint16_t port = freeLoopbackPort();
    platform::ScopedFD input, feeder;
    platform::ScopedFD log(::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!log || !platform::newPipe(input, feeder) ||
        !process.launch(xray, {"run", "-config", "stdin:"}, kToolEnvironment, input.get(),
                        log.get()))
      throw std::runtime_error("cannot start " + what);
    input.reset();
    platform::writeFull(feeder.get(), configuration(port).dump());
    feeder.reset();
    const auto deadline = std::chrono::steady_clock::now() + kListenTimeout;
    while (process.isRunning() && !listensOnLoopback(port) &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    if (listensOnLoopback(port))
      return port;
    if (process.isRunning()) {
      process.terminateAndReap();
      break;  // a hang is not a port collision
    }
  }
  throw std::runtime_error(what + " did not start: " + readLog(logPath));
}

}  // namespace

uint16_t freeLoopbackPort() {
  platform::ScopedFD socket = platform::newInternetStreamSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!socket || ::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length))
    throw std::runtime_error("cannot pick a free loopback port");
  return ntohs(address.sin_port);
}

bool listensOnLoopback(uint16_t port) {
  return platform::hasLoopbackListener(port);
}

X25519KeyPair generateX25519KeyPair(const std::string& xray) {
  const std::string output = runEngineTool(xray, {"x25519"});
  // Its labels changed over releases ("Public key", "Password (PublicKey)").
  return {generatedValue(output, "private"), generatedValue(output, "public")};
}

Mldsa65KeyPair generateMldsa65KeyPair(const std::string& xray) {
  const std::string output = runEngineTool(xray, {"mldsa65"});
  return {generatedValue(output, "seed"), generatedValue(output, "verify")};
}

CertificateFiles makeSelfSignedCertificate(const std::string& xray,
                                           const std::string& directory,
                                           const std::string& name) {
  const std::string prefix = directory + "/" + name;
  runEngineTool(xray, {"tls", "cert", "--domain=" + name, "--name=" + name, "--expire=48h",
                       "--file=" + prefix});
  return {prefix + ".crt", prefix + ".key"};
}

json tlsDecoyConfiguration(uint16_t port, const CertificateFiles& certificate) {
  return {
      {"log", {{"loglevel", "warning"}, {"access", "none"}}},
      {"inbounds",
       json::array(
           {{{"listen", "127.0.0.1"},
             {"port", port},
             {"protocol", "http"},
             {"settings", json::object()},
             {"streamSettings",
              {{"security", "tls"},
               {"tlsSettings",
                {{"minVersion", "1.3"},
                 {"alpn", json::array({"h2", "http/1.1"})},
                 {"certificates", json::array({{{"certificateFile", certificate.certificate},
                                                {"keyFile", certificate.key}}})}}}}}}})},
      {"outbounds", json::array({{{"protocol", "blackhole"}}})},
  };
}

json vlessServerConfiguration(uint16_t port,
                              const json& user,
                              const json& stream,
                              const std::string& accessLog,
                              const std::string& egressAddress) {
  return {
      {"log", {{"loglevel", "warning"}, {"access", accessLog}}},
      {"inbounds",
       json::array({{{"listen", "127.0.0.1"},
                     {"port", port},
                     {"protocol", "vless"},
                     {"settings", {{"clients", json::array({user})}, {"decryption", "none"}}},
                     {"streamSettings", stream}}})},
      // Only loopback destinations are served, so nothing sent through the
      // server can leave the machine.
      {"routing",
       {{"rules", json::array({{{"ip", json::array({"127.0.0.0/8"})}, {"outboundTag", "loopback"}},
                               {{"network", "tcp,udp"}, {"outboundTag", "nowhere"}}})}}},
      {"outbounds",
       json::array({{{"tag", "loopback"}, {"protocol", "freedom"}, {"sendThrough", egressAddress}},
                    {{"tag", "nowhere"}, {"protocol", "blackhole"}}})},
  };
}

LoopbackRealityServer::LoopbackRealityServer(const std::string& xray, const std::string& directory)
    : accessLogPath_(directory + "/server-access.log") {
  const auto certificate = makeSelfSignedCertificate(xray, directory, kServerName);
  const uint16_t decoyPort =
      startListening(decoy_, xray, "the TLS decoy", directory + "/decoy.log",
                     [&](uint16_t port) { return tlsDecoyConfiguration(port, certificate); });
  try {
    const auto keys = generateX25519KeyPair(xray);
    endpoint_.id = Uuid::random();
    endpoint_.host = "127.0.0.1";
    endpoint_.transport = VLESSConnectionTransport::realityTCP;
    endpoint_.security = VLESSTransportSecurity::reality;
    endpoint_.serverName = kServerName;
    endpoint_.publicKey = keys.publicKey;
    endpoint_.shortID = "6ba85179e30d4fc2";
    endpoint_.fingerprint = "chrome";
    const json user = {{"id", endpoint_.id.lowercaseString()},
                       {"email", kUserEmail},
                       {"flow", "xtls-rprx-vision"}};
    const json stream = {{"network", "tcp"},
                         {"security", "reality"},
                         {"realitySettings",
                          {{"target", "127.0.0.1:" + std::to_string(decoyPort)},
                           {"serverNames", json::array({kServerName})},
                           {"privateKey", keys.privateKey},
                           {"shortIds", json::array({*endpoint_.shortID})}}}};
    endpoint_.port = startListening(
        server_, xray, "the REALITY server", directory + "/server.log", [&](uint16_t port) {
          return vlessServerConfiguration(port, user, stream, accessLogPath_);
        });
  } catch (...) {
    decoy_.terminateAndReap();
    throw;
  }
}

LoopbackRealityServer::~LoopbackRealityServer() {
  server_.terminateAndReap();
  decoy_.terminateAndReap();
}

}  // namespace korvelin::demo
