#include "tests/support/LoopbackHttpsServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

#include "tests/support/Subprocess.h"

namespace korvelin::testing {

namespace {

SSL_CTX* ctx(void* p) {
  return static_cast<SSL_CTX*>(p);
}

}  // namespace

LoopbackHttpsServer::LoopbackHttpsServer(const std::string& directory,
                                         Responder responder,
                                         bool tls)
    : certificate_(directory + "/feed.crt"),
      key_(directory + "/feed.key"),
      responder_(std::move(responder)) {
  if (tls) {
    const auto made =
        run({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:P-256", "-nodes", "-days", "1", "-subj", "/CN=localhost", "-addext",
             "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key_, "-out", certificate_});
    if (made.exitCode != 0)
      throw std::runtime_error("openssl req failed: " + made.errors);
    context_ = SSL_CTX_new(TLS_server_method());
    if (!context_ ||
        SSL_CTX_use_certificate_file(ctx(context_), certificate_.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx(context_), key_.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("cannot load the test certificate");
  }
  server_ = std::make_unique<LoopbackServer>(
      [this](platform::ScopedFD connection, int wake) { answer(connection.get(), wake); });
}

LoopbackHttpsServer::~LoopbackHttpsServer() {
  server_.reset();
  SSL_CTX_free(ctx(context_));
}

std::string LoopbackHttpsServer::url(const std::string& path) const {
  return (context_ ? "https" : "http") + std::string("://127.0.0.1:") + std::to_string(port()) +
         path;
}

void LoopbackHttpsServer::answer(int connection, int wake) {
  SSL* ssl = context_ ? SSL_new(ctx(context_)) : nullptr;  // none: plain HTTP
  // A plain read waits for the server's stop too.
  const auto receive = [&](char* buffer, int size) {
    return ssl                                     ? SSL_read(ssl, buffer, size)
           : readableUnlessWoken(connection, wake) ? ::read(connection, buffer, size)
                                                   : -1;
  };
  const auto send = [&](const char* data, int size) {
    return ssl ? SSL_write(ssl, data, size) : ::write(connection, data, size);
  };
  std::string request;
  if (!ssl || (SSL_set_fd(ssl, connection) == 1 && SSL_accept(ssl) == 1)) {
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const auto n = receive(buffer, sizeof buffer);
      if (n <= 0)
        break;
      request.append(buffer, static_cast<size_t>(n));
    }
  }
  if (request.find("\r\n\r\n") != std::string::npos) {
    ++requests_;
    const Reply reply = responder_(request.substr(0, request.find("\r\n\r\n")));
    for (size_t at = 0; at < reply.bytes.size();) {
      const auto n = send(reply.bytes.data() + at, static_cast<int>(reply.bytes.size() - at));
      if (n <= 0)
        break;
      at += static_cast<size_t>(n);
    }
    if (reply.holdOpen && readableUnlessWoken(connection, wake))
      ++closedByPeer_;
    if (ssl)
      SSL_shutdown(ssl);
  }
  SSL_free(ssl);
  ERR_clear_error();
}

std::string httpResponse(const std::string& status,
                         const std::string& headers,
                         const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headers + "Connection: close\r\n\r\n" + body;
}

std::string chunked(const std::string& body, std::size_t chunk) {
  std::string text;
  for (std::size_t at = 0; at < body.size(); at += chunk) {
    const std::string piece = body.substr(at, chunk);
    char size[32];
    std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
    text += size + piece + "\r\n";
  }
  return text + "0\r\n\r\n";
}

}  // namespace korvelin::testing
