#pragma once

// An HTTPS server on 127.0.0.1 for clients that must be tested against real
// TLS: a fresh self-signed certificate for 127.0.0.1 and localhost (made with
// the openssl tool), one connection at a time, each answered with the exact
// bytes a test scripts, or held open without an answer. The same over plain
// HTTP for clients that must not use TLS.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tests/support/LoopbackServer.h"

namespace korvelin::testing {

class LoopbackHttpsServer {
 public:
  struct Reply {
    std::string bytes;  // written as is: status line, headers, body
    // Write `bytes`, then keep the connection until the client closes it
    // (counted in `closedByPeer`) or the server stops.
    bool holdOpen = false;
  };
  // Called with the request's head (request line and headers).
  using Responder = std::function<Reply(const std::string& request)>;

  // `directory` receives the certificate and key; without `tls` the server
  // speaks plain HTTP and has neither.
  LoopbackHttpsServer(const std::string& directory, Responder responder, bool tls = true);
  ~LoopbackHttpsServer();

  uint16_t port() const { return server_->port(); }
  const std::string& certificatePath() const { return certificate_; }
  std::string url(const std::string& path) const;
  // How many requests reached the server so far.
  int requests() const { return requests_.load(); }
  int closedByPeer() const { return closedByPeer_.load(); }

 private:
  void answer(int connection, int wake);

  std::string certificate_;
  std::string key_;
  Responder responder_;
  std::atomic<int> requests_{0};
  std::atomic<int> closedByPeer_{0};
  void* context_ = nullptr;                 // SSL_CTX
  std::unique_ptr<LoopbackServer> server_;  // started once the context is ready
};

// An HTTP/1.1 answer: `status` line, `headers` (each ending in CRLF), body.
std::string httpResponse(const std::string& status,
                         const std::string& headers,
                         const std::string& body);
// `body` in chunks of `chunk` bytes, ending with the zero chunk.
std::string chunked(const std::string& body, std::size_t chunk);

}  // namespace korvelin::testing
