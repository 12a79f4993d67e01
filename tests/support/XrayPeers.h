#pragma once

// Loopback peers for running the real Xray end to end: a VLESS server in each
// supported shape (TCP or gRPC with REALITY, gRPC with TLS), the TLS 1.3
// server a REALITY server borrows its handshake from, and a client started
// the way the product starts it. Everything listens on 127.0.0.1 at ports
// the system hands out, and every process is killed and reaped when its
// object goes out of scope.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/proxy/VLESSConnection.h"
#include "demo/LoopbackRealityServer.h"
#include "tests/support/Subprocess.h"
#include "tests/support/VlessShareLink.h"

namespace korvelin::testing {

// Shared with `korvelin demo`, which runs a REALITY server of its own.
using demo::CertificateFiles;
using demo::freeLoopbackPort;
using demo::generateMldsa65KeyPair;
using demo::generateX25519KeyPair;
using demo::listensOnLoopback;
using demo::makeSelfSignedCertificate;
using demo::Mldsa65KeyPair;
using demo::X25519KeyPair;

enum class VlessShape { realityTCP, grpcTLS, grpcReality };

struct XrayServerOptions {
  std::string shortID = "6ba85179e30d4fc2";
  bool postQuantumSignature = false;                 // sign REALITY handshakes with ML-DSA-65
  std::string egressAddress = demo::kEgressAddress;  // where its loopback traffic comes from
};

// A VLESS server of the given shape on 127.0.0.1, with a self-signed
// certificate for TLS, and for REALITY a private decoy: the site a REALITY
// server borrows its TLS handshake from and hands unauthenticated clients to.
// The decoy is TLS 1.3 only, offering h2 and http/1.1 like the public sites
// used in practice (REALITY over gRPC fails without h2). It is a second Xray
// rather than `openssl s_server`, because REALITY keeps its connection to the
// site open as long as the client's, and s_server serves one connection at a
// time: the second client stalled behind the first. Its only way out is
// loopback, sent from 127.0.0.2: the echo endpoint seeing that address
// proves a request crossed this server. It logs every accepted connection,
// with the user's email, to its access log.
class XrayServer {
 public:
  XrayServer(const std::string& xray,
             const std::string& directory,
             VlessShape shape,
             XrayServerOptions options = {});
  ~XrayServer();

  uint16_t port() const { return port_; }
  // What a link to this server carries, and the link itself. gRPC with TLS
  // additionally needs `trustCertificate`, since the certificate is
  // self-signed.
  const VLESSRealityConfiguration& endpoint() const { return endpoint_; }
  std::string link() const { return shareLink(endpoint_); }
  const std::string& certificatePath() const { return certificate_.certificate; }
  std::string accessLog() const;
  std::string output() const;  // what the server and its decoy printed
  static constexpr const char* kUserEmail = "profile@korvelin.test";
  static constexpr const char* kEgressAddress = demo::kEgressAddress;

 private:
  uint16_t port_;
  VLESSRealityConfiguration endpoint_;
  CertificateFiles certificate_;
  std::string accessLogPath_;
  std::string logPath_;
  std::string decoyLogPath_;
  std::unique_ptr<Subprocess> decoy_;
  std::unique_ptr<Subprocess> process_;
};

// `xray run -config stdin:` with the configuration on standard input and the
// environment the product gives it (PATH only), waited for until it listens
// on the configuration's SOCKS port. Its output goes to `outputPath`.
class XrayClient {
 public:
  XrayClient(const std::string& xray,
             const std::string& configuration,
             const std::string& outputPath);
  uint16_t socksPort() const { return socksPort_; }
  std::string output() const;

 private:
  uint16_t socksPort_;
  std::string outputPath_;
  std::unique_ptr<Subprocess> process_;
};

// `xray run -test -config stdin:` on a configuration.
RunResult testConfiguration(const std::string& xray, const std::string& configuration);

// The lines of the engine's output at warning level or above, without their
// time stamps and without its start notice: what it says about a
// configuration.
std::vector<std::string> engineComplaints(const std::string& output);

}  // namespace korvelin::testing
