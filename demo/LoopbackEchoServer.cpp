#include "demo/LoopbackEchoServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <optional>
#include <string_view>
#include <system_error>

#include "core/platform/Eintr.h"
#include "core/platform/LocalSocket.h"

namespace korvelin::demo {

using platform::retryOnEintr;
using platform::ScopedFD;

namespace {

// A request head larger than this is refused; real clients send a few hundred bytes.
constexpr size_t kMaximumHeadBytes = 16 * 1024;
constexpr size_t kBulkChunkBytes = 64 * 1024;

[[noreturn]] void throwSystemError(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

bool sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t sent =
        retryOnEintr([&] { return platform::sendNoSignal(fd, data.data(), data.size()); });
    if (sent <= 0)
      return false;
    data.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

std::string peerAddress(int fd) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return "unknown";
  char text[INET6_ADDRSTRLEN] = {};
  const auto* storage = &address;
  const void* raw =
      address.ss_family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(storage)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(storage)->sin_addr);
  if (!::inet_ntop(address.ss_family, raw, text, sizeof text))
    return "unknown";
  return text;
}

std::string lowercase(std::string_view text) {
  std::string result(text);
  std::transform(result.begin(), result.end(), result.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return result;
}

struct Request {
  std::string method;
  std::string target;
  bool keepAlive = true;
  bool hasBody = false;
};

// Parses the request line and the headers that matter here; absent when the
// head is not HTTP/1.x.
std::optional<Request> parseHead(std::string_view head) {
  Request request;
  const size_t lineEnd = head.find("\r\n");
  const std::string_view line = head.substr(0, lineEnd);
  const size_t first = line.find(' ');
  const size_t second = line.find(' ', first == std::string_view::npos ? first : first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos)
    return std::nullopt;
  request.method = line.substr(0, first);
  request.target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (version == "HTTP/1.0")
    request.keepAlive = false;
  else if (version != "HTTP/1.1")
    return std::nullopt;
  if (request.method.empty() || request.target.empty())
    return std::nullopt;

  size_t position = lineEnd == std::string_view::npos ? head.size() : lineEnd + 2;
  while (position < head.size()) {
    size_t end = head.find("\r\n", position);
    if (end == std::string_view::npos)
      end = head.size();
    const std::string header = lowercase(head.substr(position, end - position));
    position = end + 2;
    const size_t colon = header.find(':');
    if (colon == std::string::npos)
      return std::nullopt;
    const std::string_view name = std::string_view(header).substr(0, colon);
    std::string_view value = std::string_view(header).substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
      value.remove_prefix(1);
    if (name == "connection") {
      if (value.find("close") != std::string_view::npos)
        request.keepAlive = false;
      if (value.find("keep-alive") != std::string_view::npos)
        request.keepAlive = true;
    } else if (name == "transfer-encoding" || (name == "content-length" && value != "0")) {
      request.hasBody = true;
    }
  }
  return request;
}

std::string responseHead(int status,
                         const char* reason,
                         const char* contentType,
                         uint64_t contentLength,
                         bool keepAlive) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  head += "Content-Type: " + std::string(contentType) + "\r\n";
  head += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  if (status == 405)
    head += "Allow: GET\r\n";
  if (!keepAlive)
    head += "Connection: close\r\n";
  return head + "\r\n";
}

bool sendText(int fd, int status, const char* reason, const std::string& body, bool keepAlive) {
  return sendAll(fd, responseHead(status, reason, "text/plain", body.size(), keepAlive) + body);
}

// The N of "/bytes/N", absent for any other target or an N out of range.
std::optional<uint64_t> bulkLength(std::string_view target) {
  constexpr std::string_view prefix = "/bytes/";
  if (target.substr(0, prefix.size()) != prefix)
    return std::nullopt;
  target.remove_prefix(prefix.size());
  uint64_t length = 0;
  auto [end, error] = std::from_chars(target.data(), target.data() + target.size(), length);
  if (error != std::errc() || end != target.data() + target.size() || target.empty())
    return std::nullopt;
  if (length > LoopbackEchoServer::kMaximumBulkBytes)
    return std::nullopt;
  return length;
}

bool sendBulk(int fd, uint64_t length, bool keepAlive) {
  if (!sendAll(fd, responseHead(200, "OK", "application/octet-stream", length, keepAlive)))
    return false;
  static const std::string zeros(kBulkChunkBytes, '\0');
  while (length > 0) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, zeros.size()));
    if (!sendAll(fd, std::string_view(zeros).substr(0, chunk)))
      return false;
    length -= chunk;
  }
  return true;
}

}  // namespace

LoopbackEchoServer::LoopbackEchoServer(uint16_t port) {
  listener_ = platform::newInternetStreamSocket();
  if (!listener_)
    throwSystemError("socket");
  const int on = 1;
  ::setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    throwSystemError("bind");
  if (::listen(listener_.get(), 128) != 0)
    throwSystemError("listen");
  socklen_t length = sizeof address;
  if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throwSystemError("getsockname");
  port_ = ntohs(address.sin_port);
  acceptThread_ = std::thread([this] { acceptLoop(); });
}

LoopbackEchoServer::~LoopbackEchoServer() {
  stopping_ = true;
  // Shutting the listener down wakes the blocked accept; shutting each
  // connection down wakes its thread in recv or send.
  ::shutdown(listener_.get(), SHUT_RDWR);
  acceptThread_.join();
  std::lock_guard lock(mutex_);
  for (auto& connection : connections_)
    ::shutdown(connection->socket.get(), SHUT_RDWR);
  for (auto& connection : connections_)
    connection->thread.join();
  connections_.clear();
}

std::string LoopbackEchoServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void LoopbackEchoServer::acceptLoop() {
  while (!stopping_) {
    ScopedFD socket = platform::acceptConnection(listener_.get(), false);
    if (!socket) {
      if (stopping_ || errno == EINVAL || errno == EBADF)
        return;
      // Out of descriptors or a connection reset before it was taken: wait
      // a moment rather than spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    const int on = 1;
    ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::lock_guard lock(mutex_);
    reapFinished();
    auto connection = std::make_unique<Connection>();
    connection->socket = std::move(socket);
    Connection& ref = *connection;
    connections_.push_back(std::move(connection));
    ref.thread = std::thread([this, &ref] { serve(ref); });
  }
}

void LoopbackEchoServer::reapFinished() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = connections_.erase(it);
    } else {
      ++it;
    }
  }
}

std::optional<std::string> LoopbackEchoServer::callerOf(const std::string& target) const {
  std::lock_guard guard(callersMutex_);
  auto found = callers_.find(target);
  return found == callers_.end() ? std::nullopt : std::optional(found->second);
}

void LoopbackEchoServer::serve(Connection& connection) {
  const int fd = connection.socket.get();
  const std::string peer = peerAddress(fd);
  std::string buffer;
  bool open = true;
  while (open && !stopping_) {
    size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos &&
           buffer.size() <= kMaximumHeadBytes) {
      char chunk[4096];
      ssize_t got = retryOnEintr([&] { return ::recv(fd, chunk, sizeof chunk, 0); });
      if (got <= 0) {
        open = false;
        break;
      }
      buffer.append(chunk, static_cast<size_t>(got));
    }
    if (!open)
      break;
    if (headEnd == std::string::npos || headEnd > kMaximumHeadBytes) {
      sendText(fd, 431, "Request Header Fields Too Large", "request head too large\n", false);
      break;
    }
    const auto request = parseHead(std::string_view(buffer).substr(0, headEnd));
    buffer.erase(0, headEnd + 4);
    ++requests_;
    if (!request || request->hasBody) {
      sendText(fd, 400, "Bad Request", "bad request\n", false);
      break;
    }
    {
      std::lock_guard guard(callersMutex_);
      if (callers_.size() < 256)
        callers_.emplace(request->target, peer);
    }
    if (request->method != "GET") {
      sendText(fd, 405, "Method Not Allowed", "only GET is served\n", false);
      break;
    }
    if (request->target.rfind("/bytes/", 0) == 0) {
      const auto length = bulkLength(request->target);
      if (!length) {
        sendText(fd, 400, "Bad Request", "bad length\n", false);
        break;
      }
      open = sendBulk(fd, *length, request->keepAlive);
    } else {
      open = sendText(fd, 200, "OK", peer + "\n", request->keepAlive);
    }
    open = open && request->keepAlive;
  }
  // The descriptor itself is closed when the connection is reaped, so that
  // the destructor never shuts down a number already reused elsewhere.
  ::shutdown(fd, SHUT_RDWR);
  connection.finished = true;
}

}  // namespace korvelin::demo
