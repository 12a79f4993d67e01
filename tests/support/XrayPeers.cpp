#include "tests/support/XrayPeers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/platform/ScopedFD.h"

namespace korvelin::testing {

using nlohmann::json;

namespace {

// The environment the product gives the engine and its tools.
const std::vector<std::string> kToolEnvironment = {"PATH=/usr/bin:/bin"};
constexpr auto kListenTimeout = std::chrono::seconds(20);
constexpr const char* kGrpcServiceName = "korvelin.Tunnel";

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "Name: value" lines of a key generator's output, by a word in the name.
std::string generatedValue(const std::string& output, const std::string& word) {
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.find(word) != std::string::npos) return line.substr(colon + 2);
  }
  throw std::runtime_error("no \"" + word + "\" in generator output: " + output);
}

// `xray run -config stdin:` with the environment the product gives it and its
// output in a file.
std::unique_ptr<Subprocess> runXray(const std::string& xray, const std::string& configuration,
                                    const std::string& outputPath) {
  return std::make_unique<Subprocess>(
      std::vector<std::string>{xray, "run", "-config", "stdin:"},
      SubprocessOptions{.standardInput = configuration,
                        .environment = kToolEnvironment,
                        .outputFile = outputPath});
}

// Waits until `process` listens on 127.0.0.1:`port`; false when it exited
// first (`exited`) or did not listen in time.
bool becomesListener(Subprocess& process, uint16_t port, bool& exited) {
  exited = false;
  return eventually(
             [&] {
               if (listensOnLoopback(port)) return true;
               exited = process.wait(std::chrono::milliseconds(0)).has_value();
               return exited;
             },
             kListenTimeout) &&
         !exited;
}

// Starts what `start` builds for a fresh port and waits until it listens
// there. A port taken by someone else between choosing and binding makes the
// process exit; that costs one more attempt with another port.
std::unique_ptr<Subprocess> startListening(
    const std::string& what, const std::string& logPath, uint16_t& port,
    const std::function<std::unique_ptr<Subprocess>(uint16_t)>& start) {
  std::string failure;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port = freeLoopbackPort();
    auto process = start(port);
    bool exited;
    if (becomesListener(*process, port, exited)) return process;
    failure = what + (exited ? " exited" : " did not listen on port " + std::to_string(port)) +
              ": " + readText(logPath);
    if (!exited) break;  // a hang is not a port collision
  }
  throw std::runtime_error(failure);
}

json serverConfiguration(uint16_t port, const json& user, const json& stream,
                         const std::string& accessLog) {
  return {
      {"log", {{"loglevel", "warning"}, {"access", accessLog}}},
      {"inbounds",
       json::array({{{"listen", "127.0.0.1"},
                     {"port", port},
                     {"protocol", "vless"},
                     {"settings", {{"clients", json::array({user})}, {"decryption", "none"}}},
                     {"streamSettings", stream}}})},
      // Only loopback destinations are served, so nothing a test sends
      // through the server can leave the machine.
      {"routing",
       {{"rules", json::array({{{"ip", json::array({"127.0.0.0/8"})}, {"outboundTag", "loopback"}},
                               {{"network", "tcp,udp"}, {"outboundTag", "nowhere"}}})}}},
      {"outbounds", json::array({{{"tag", "loopback"},
                                  {"protocol", "freedom"},
                                  {"sendThrough", XrayServer::kEgressAddress}},
                                 {{"tag", "nowhere"}, {"protocol", "blackhole"}}})},
  };
}

}  // namespace

uint16_t freeLoopbackPort() {
  platform::ScopedFD socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
  // The kernel prints the address as the 32-bit word it stores, in network
  // order read in host order, then the port in hex; state 0A is LISTEN.
  const in_addr_t loopback = htonl(INADDR_LOOPBACK);
  uint32_t word;
  std::memcpy(&word, &loopback, sizeof word);
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, "%08X:%04X", word, port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column headings
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (local == wanted && state == "0A") return true;
  }
  return false;
}

X25519KeyPair generateX25519KeyPair(const std::string& xray) {
  const auto result = run({xray, "x25519"}, {.environment = kToolEnvironment});
  if (result.exitCode != 0) throw std::runtime_error("xray x25519 failed: " + result.errors);
  // Its labels changed over releases ("Public key", "Password (PublicKey)").
  return {generatedValue(result.output, "private"), generatedValue(result.output, "public")};
}

Mldsa65KeyPair generateMldsa65KeyPair(const std::string& xray) {
  const auto result = run({xray, "mldsa65"}, {.environment = kToolEnvironment});
  if (result.exitCode != 0) throw std::runtime_error("xray mldsa65 failed: " + result.errors);
  return {generatedValue(result.output, "seed"), generatedValue(result.output, "verify")};
}

CertificateFiles makeSelfSignedCertificate(const std::string& xray, const std::string& directory,
                                           const std::string& name) {
  const std::string prefix = directory + "/" + name;
  const auto result = run({xray, "tls", "cert", "--domain=" + name, "--name=" + name,
                           "--expire=48h", "--file=" + prefix},
                          {.environment = kToolEnvironment});
  if (result.exitCode != 0) throw std::runtime_error("xray tls cert failed: " + result.errors);
  return {prefix + ".crt", prefix + ".key"};
}

TlsDecoyServer::TlsDecoyServer(const std::string& xray, const std::string& directory,
                               const std::string& serverName)
    : logPath_(directory + "/decoy.log") {
  const auto certificate = makeSelfSignedCertificate(xray, directory, serverName);
  // A REALITY server signing with ML-DSA-65 hides the 3309-byte signature in
  // the room the site's certificate message leaves; a lone self-signed
  // certificate leaves far too little. Padding the chain with further
  // certificates gives it the size of a public site's chain.
  {
    std::ofstream chain(certificate.certificate, std::ios::app);
    for (int i = 0; i < 8; ++i)
      chain << readText(
          makeSelfSignedCertificate(xray, directory, "chain" + std::to_string(i) + ".korvelin.test")
              .certificate);
  }
  process_ = startListening("the TLS decoy", logPath_, port_, [&](uint16_t port) {
    // An HTTP proxy inbound reads at once, so the handshake happens as soon
    // as a client connects (a forwarding inbound would not wait for it);
    // whatever it is then asked for goes nowhere.
    const json configuration = {
        {"log", {{"loglevel", "warning"}, {"access", "none"}}},
        {"inbounds",
         json::array({{{"listen", "127.0.0.1"},
                       {"port", port},
                       {"protocol", "http"},
                       {"settings", json::object()},
                       {"streamSettings",
                        {{"security", "tls"},
                         {"tlsSettings",
                          {{"minVersion", "1.3"},
                           {"alpn", json::array({"h2", "http/1.1"})},
                           {"certificates",
                            json::array({{{"certificateFile", certificate.certificate},
                                          {"keyFile", certificate.key}}})}}}}}}})},
        {"outbounds", json::array({{{"protocol", "blackhole"}}})},
    };
    return runXray(xray, configuration.dump(), logPath_);
  });
}

std::string shapeName(VlessShape shape) {
  switch (shape) {
    case VlessShape::realityTCP:
      return "TCP+REALITY";
    case VlessShape::grpcTLS:
      return "gRPC+TLS";
    case VlessShape::grpcReality:
      return "gRPC+REALITY";
  }
  return "?";
}

XrayServer::XrayServer(const std::string& xray, const std::string& directory, VlessShape shape,
                       XrayServerOptions options)
    : accessLogPath_(directory + "/server-access.log"), logPath_(directory + "/server.log") {
  const bool reality = shape != VlessShape::grpcTLS;
  const bool grpc = shape != VlessShape::realityTCP;
  endpoint_.id = Uuid::random();
  endpoint_.host = "127.0.0.1";
  endpoint_.transport = grpc ? VLESSConnectionTransport::grpc : VLESSConnectionTransport::realityTCP;
  endpoint_.security = reality ? VLESSTransportSecurity::reality : VLESSTransportSecurity::tls;
  endpoint_.fingerprint = "chrome";
  if (grpc) endpoint_.serviceName = kGrpcServiceName;

  json stream = {{"network", grpc ? "grpc" : "tcp"},
                 {"security", std::string(rawValue(endpoint_.security))}};
  if (grpc) stream["grpcSettings"] = {{"serviceName", kGrpcServiceName}};
  if (reality) {
    endpoint_.serverName = "reality.korvelin.test";
    decoy_ = std::make_unique<TlsDecoyServer>(xray, directory, endpoint_.serverName);
    const auto keys = generateX25519KeyPair(xray);
    endpoint_.publicKey = keys.publicKey;
    endpoint_.shortID = options.shortID;
    json& settings = stream["realitySettings"];
    settings = {{"target", "127.0.0.1:" + std::to_string(decoy_->port())},
                {"serverNames", json::array({endpoint_.serverName})},
                {"privateKey", keys.privateKey},
                {"shortIds", json::array({options.shortID})}};
    if (options.postQuantumSignature) {
      const auto signature = generateMldsa65KeyPair(xray);
      settings["mldsa65Seed"] = signature.seed;
      endpoint_.mldsa65Verify = signature.verify;
    }
  } else {
    endpoint_.serverName = "grpc.korvelin.test";
    endpoint_.authority = endpoint_.serverName;
    endpoint_.alpn = "h2";
    certificate_ = makeSelfSignedCertificate(xray, directory, endpoint_.serverName);
    stream["tlsSettings"] = {
        {"certificates", json::array({{{"certificateFile", certificate_.certificate},
                                       {"keyFile", certificate_.key}}})},
        {"alpn", json::array({"h2"})}};
  }

  json user = {{"id", endpoint_.id.lowercaseString()}, {"email", kUserEmail}};
  if (!grpc) user["flow"] = "xtls-rprx-vision";
  process_ = startListening("the " + shapeName(shape) + " server", logPath_, port_,
                            [&](uint16_t port) {
                              return runXray(
                                  xray,
                                  serverConfiguration(port, user, stream, accessLogPath_).dump(),
                                  logPath_);
                            });
  endpoint_.port = port_;
}

XrayServer::~XrayServer() = default;

std::string XrayServer::accessLog() const { return readText(accessLogPath_); }

std::string XrayServer::output() const {
  return readText(logPath_) + (decoy_ ? readText(decoy_->logPath()) : "");
}

std::string trustCertificate(const std::string& configuration,
                             const std::string& certificatePath) {
  json amended = json::parse(configuration);
  amended["outbounds"][0]["streamSettings"]["tlsSettings"]["certificates"] =
      json::array({{{"usage", "verify"}, {"certificateFile", certificatePath}}});
  return amended.dump();
}

XrayClient::XrayClient(const std::string& xray, const std::string& configuration,
                       const std::string& outputPath)
    : socksPort_(json::parse(configuration).at("inbounds").at(0).at("port").get<uint16_t>()),
      outputPath_(outputPath) {
  process_ = runXray(xray, configuration, outputPath);
  bool exited;
  if (!becomesListener(*process_, socksPort_, exited))
    throw std::runtime_error("the Xray client did not listen on port " +
                             std::to_string(socksPort_) + ": " + output());
}

std::string XrayClient::output() const { return readText(outputPath_); }

RunResult testConfiguration(const std::string& xray, const std::string& configuration) {
  return run({xray, "run", "-test", "-config", "stdin:"},
             {.standardInput = configuration, .environment = kToolEnvironment});
}

std::vector<std::string> engineComplaints(const std::string& output) {
  std::vector<std::string> complaints;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    // The start notice is logged at warning level but says nothing.
    if (line.find("[Warning] core: Xray ") != std::string::npos &&
        line.ends_with(" started"))
      continue;
    for (const char* level : {"[Warning]", "[Error]"}) {
      if (const size_t at = line.find(level); at != std::string::npos) {
        complaints.push_back(line.substr(at));
        break;
      }
    }
    if (line.rfind("Failed", 0) == 0) complaints.push_back(line);
  }
  return complaints;
}

RunResult fetchThroughSocks(uint16_t socksPort, const std::string& url) {
  return run({"/usr/bin/curl", "--fail", "--silent", "--show-error", "--max-time", "8",
              "--socks5-hostname", "127.0.0.1:" + std::to_string(socksPort), url},
             {.environment = kToolEnvironment});
}

}  // namespace korvelin::testing
