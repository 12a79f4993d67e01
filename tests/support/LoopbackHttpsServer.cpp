#include "tests/support/LoopbackHttpsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdio>
#include <stdexcept>

#include "tests/support/Subprocess.h"

namespace korvelin::testing {

namespace {

SSL_CTX* ctx(void* p) {
  return static_cast<SSL_CTX*>(p);
}

// Waits until `fd` is readable or the wake pipe is; false when woken.
bool readable(int fd, int wake) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0) {
  }
  return !(fds[1].revents & POLLIN);
}

}  // namespace

LoopbackHttpsServer::LoopbackHttpsServer(const std::string& directory, Responder responder)
    : certificate_(directory + "/feed.crt"),
      key_(directory + "/feed.key"),
      responder_(std::move(responder)) {
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

  listener_ = platform::ScopedFD(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!listener_.valid() ||
      ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_.get(), 16) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on loopback");
  port_ = ntohs(address.sin_port);
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  wakeRead_ = platform::ScopedFD(pipe[0]);
  wakeWrite_ = platform::ScopedFD(pipe[1]);
  thread_ = std::thread([this] { serve(); });
}

LoopbackHttpsServer::~LoopbackHttpsServer() {
  if (thread_.joinable()) {
    [[maybe_unused]] auto written = ::write(wakeWrite_.get(), "x", 1);
    thread_.join();
  }
  SSL_CTX_free(ctx(context_));
}

std::string LoopbackHttpsServer::url(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackHttpsServer::serve() {
  // A client that stops reading (as one refusing a long body does) must not
  // end the test with SIGPIPE: blocked in this thread, the write fails instead.
  sigset_t pipe;
  ::sigemptyset(&pipe);
  ::sigaddset(&pipe, SIGPIPE);
  ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  while (readable(listener_.get(), wakeRead_.get())) {
    platform::ScopedFD connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection.valid())
      continue;
    SSL* ssl = SSL_new(ctx(context_));
    SSL_set_fd(ssl, connection.get());
    std::string request;
    if (SSL_accept(ssl) == 1) {
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const int n = SSL_read(ssl, buffer, sizeof buffer);
        if (n <= 0)
          break;
        request.append(buffer, static_cast<size_t>(n));
      }
    }
    if (request.find("\r\n\r\n") != std::string::npos) {
      ++requests_;
      const Reply reply = responder_(request.substr(0, request.find("\r\n\r\n")));
      if (reply.stall) {
        readable(wakeRead_.get(), wakeRead_.get());  // until the server stops
      } else {
        for (size_t at = 0; at < reply.bytes.size();) {
          const int n =
              SSL_write(ssl, reply.bytes.data() + at, static_cast<int>(reply.bytes.size() - at));
          if (n <= 0)
            break;
          at += static_cast<size_t>(n);
        }
        if (reply.holdOpen && readable(connection.get(), wakeRead_.get()))
          ++closedByPeer_;
        SSL_shutdown(ssl);
      }
    }
    SSL_free(ssl);
    ERR_clear_error();
  }
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
