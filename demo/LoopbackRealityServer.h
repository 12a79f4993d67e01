#pragma once

// A VLESS server over TCP with REALITY on 127.0.0.1, run by a real Xray,
// with the TLS 1.3 site it borrows its handshake from beside it: a peer for
// the real engine that never needs the network. Its only way out is
// loopback, sent from 127.0.0.2, so an echo endpoint behind it sees that
// address for every request that crossed it. The pieces it is built from
// (keys, certificates, configurations, ports) serve the tests' other
// servers too.

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/process/ChildProcess.h"
#include "core/proxy/VLESSConnection.h"

namespace korvelin::demo {

// The environment the product gives the engine and its tools.
inline const std::vector<std::string> kToolEnvironment = {"PATH=/usr/bin:/bin"};
// The address a loopback server sends its outgoing connections from.
inline constexpr const char* kEgressAddress = "127.0.0.2";

// A port that was free on 127.0.0.1 a moment ago (bind to port 0, read it, close).
uint16_t freeLoopbackPort();

// True while some socket listens on 127.0.0.1:`port` (from /proc/net/tcp, so
// that checking makes no connection the listener would have to handle).
bool listensOnLoopback(uint16_t port);

// Each of these throws std::runtime_error with the engine's words when it fails.
struct X25519KeyPair {
  std::string privateKey;
  std::string publicKey;
};
// A fresh REALITY key pair from `xray x25519`.
X25519KeyPair generateX25519KeyPair(const std::string& xray);

struct Mldsa65KeyPair {
  std::string seed;    // the server's half
  std::string verify;  // the client's half
};
// A fresh ML-DSA-65 pair from `xray mldsa65`, for REALITY's post-quantum signature.
Mldsa65KeyPair generateMldsa65KeyPair(const std::string& xray);

struct CertificateFiles {
  std::string certificate;  // PEM
  std::string key;          // PEM
};
// A self-signed certificate for `name` (common and DNS name), made by
// `xray tls cert` in `directory`.
CertificateFiles makeSelfSignedCertificate(const std::string& xray,
                                           const std::string& directory,
                                           const std::string& name);

// The site a REALITY server borrows its handshake from: an HTTP proxy
// inbound (it reads at once, so the handshake happens as soon as a client
// connects) with TLS 1.3 only, offering h2 and http/1.1 like public sites
// (REALITY over gRPC fails without h2); whatever it is asked for goes nowhere.
nlohmann::json tlsDecoyConfiguration(uint16_t port, const CertificateFiles& certificate);

// A VLESS inbound on 127.0.0.1:`port` for `user` with `stream` settings,
// logging accepted connections to `accessLog`, serving loopback
// destinations only and sending from `egressAddress`.
nlohmann::json vlessServerConfiguration(uint16_t port,
                                        const nlohmann::json& user,
                                        const nlohmann::json& stream,
                                        const std::string& accessLog,
                                        const std::string& egressAddress = kEgressAddress);

class LoopbackRealityServer {
 public:
  // Starts the decoy site and the server, with their files and logs in
  // `directory`, and waits until both listen.
  LoopbackRealityServer(const std::string& xray, const std::string& directory);
  ~LoopbackRealityServer();  // stops and reaps both
  LoopbackRealityServer(const LoopbackRealityServer&) = delete;
  LoopbackRealityServer& operator=(const LoopbackRealityServer&) = delete;

  // What a link to this server carries.
  const VLESSRealityConfiguration& endpoint() const { return endpoint_; }
  const std::string& accessLogPath() const { return accessLogPath_; }

 private:
  VLESSRealityConfiguration endpoint_;
  std::string accessLogPath_;
  ChildProcess decoy_;
  ChildProcess server_;
};

}  // namespace korvelin::demo
