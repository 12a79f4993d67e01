#include "tests/support/XrayPeers.h"

#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "tests/support/FileTreeHelpers.h"

namespace korvelin::testing {

using nlohmann::json;

namespace {

using demo::kToolEnvironment;
constexpr auto kListenTimeout = std::chrono::seconds(20);
constexpr const char* kGrpcServiceName = "korvelin.Tunnel";

// `xray run -config stdin:` with the environment the product gives it and its
// output in a file.
std::unique_ptr<Subprocess> runXray(const std::string& xray,
                                    const std::string& configuration,
                                    const std::string& outputPath) {
  return std::make_unique<Subprocess>(std::vector<std::string>{xray, "run", "-config", "stdin:"},
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
               if (listensOnLoopback(port))
                 return true;
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
    const std::string& what,
    const std::string& logPath,
    uint16_t& port,
    const std::function<std::unique_ptr<Subprocess>(uint16_t)>& start) {
  std::string failure;
  for (int attempt = 0; attempt < 3; ++attempt) {
    port = freeLoopbackPort();
    auto process = start(port);
    bool exited;
    if (becomesListener(*process, port, exited))
      return process;
    failure = what + (exited ? " exited" : " did not listen on port " + std::to_string(port)) +
              ": " + readText(logPath);
    if (!exited)
      break;  // a hang is not a port collision
  }
  throw std::runtime_error(failure);
}

}  // namespace

XrayServer::XrayServer(const std::string& xray,
                       const std::string& directory,
                       VlessShape shape,
                       XrayServerOptions options)
    : accessLogPath_(directory + "/server-access.log"),
      logPath_(directory + "/server.log"),
      decoyLogPath_(directory + "/decoy.log") {
  const bool reality = shape != VlessShape::grpcTLS;
  const bool grpc = shape != VlessShape::realityTCP;
  endpoint_.id = Uuid::random();
  endpoint_.host = "127.0.0.1";
  endpoint_.transport =
      grpc ? VLESSConnectionTransport::grpc : VLESSConnectionTransport::realityTCP;
  endpoint_.security = reality ? VLESSTransportSecurity::reality : VLESSTransportSecurity::tls;
  endpoint_.fingerprint = "chrome";
  if (grpc)
    endpoint_.serviceName = kGrpcServiceName;

  json stream = {{"network", grpc ? "grpc" : "tcp"},
                 {"security", std::string(rawValue(endpoint_.security))}};
  if (grpc)
    stream["grpcSettings"] = {{"serviceName", kGrpcServiceName}};
  if (reality) {
    endpoint_.serverName = "reality.korvelin.test";
    const auto decoyCertificate = makeSelfSignedCertificate(xray, directory, endpoint_.serverName);
    // A REALITY server signing with ML-DSA-65 hides the 3309-byte signature
    // in the room the site's certificate message leaves; a lone self-signed
    // certificate leaves far too little. Padding the chain with further
    // certificates gives it the size of a public site's chain.
    std::ofstream chain(decoyCertificate.certificate, std::ios::app);
    for (int i = 0; i < 8; ++i)
      chain << readText(
          makeSelfSignedCertificate(xray, directory, "chain" + std::to_string(i)).certificate);
    chain.close();
    uint16_t decoyPort;
    decoy_ = startListening("the TLS decoy", decoyLogPath_, decoyPort, [&](uint16_t port) {
      return runXray(xray, demo::tlsDecoyConfiguration(port, decoyCertificate).dump(),
                     decoyLogPath_);
    });
    const auto keys = generateX25519KeyPair(xray);
    endpoint_.publicKey = keys.publicKey;
    endpoint_.shortID = options.shortID;
    json& settings = stream["realitySettings"];
    settings = {{"target", "127.0.0.1:" + std::to_string(decoyPort)},
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
  if (!grpc)
    user["flow"] = "xtls-rprx-vision";
  process_ =
      startListening("the VLESS server in " + directory, logPath_, port_, [&](uint16_t port) {
        return runXray(xray,
                       demo::vlessServerConfiguration(port, user, stream, accessLogPath_,
                                                      options.egressAddress)
                           .dump(),
                       logPath_);
      });
  endpoint_.port = port_;
}

XrayServer::~XrayServer() = default;

std::string XrayServer::accessLog() const {
  return readText(accessLogPath_);
}

std::string XrayServer::output() const {
  return readText(logPath_) + readText(decoyLogPath_);
}

XrayClient::XrayClient(const std::string& xray,
                       const std::string& configuration,
                       const std::string& outputPath)
    : socksPort_(json::parse(configuration).at("inbounds").at(0).at("port").get<uint16_t>()),
      outputPath_(outputPath) {
  process_ = runXray(xray, configuration, outputPath);
  bool exited;
  if (!becomesListener(*process_, socksPort_, exited))
    throw std::runtime_error("the Xray client did not listen on port " +
                             std::to_string(socksPort_) + ": " + output());
}

std::string XrayClient::output() const {
  return readText(outputPath_);
}

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
    if (line.find("[Warning] core: Xray ") != std::string::npos && line.ends_with(" started"))
      continue;
    for (const char* level : {"[Warning]", "[Error]"}) {
      if (const size_t at = line.find(level); at != std::string::npos) {
        complaints.push_back(line.substr(at));
        break;
      }
    }
    if (line.rfind("Failed", 0) == 0)
      complaints.push_back(line);
  }
  return complaints;
}

}  // namespace korvelin::testing
