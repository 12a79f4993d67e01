#include "tests/support/ServicesSupport.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <sstream>

#include <gtest/gtest.h>

#include "core/platform/LocalSocket.h"

namespace korvelin::testing {

using platform::ScopedFD;

ScopedFD connectTo(std::uint16_t port) {
  ScopedFD socket = platform::newInternetStreamSocket();
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  return socket;
}

std::string readToEnd(int fd, std::chrono::milliseconds limit) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd entry{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
      return text + "<open>";
    char buffer[65536];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0)
      return text;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

void sendAll(int fd, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = platform::sendNoSignal(fd, bytes.data() + at, bytes.size() - at);
    if (n <= 0)
      return;
    at += static_cast<std::size_t>(n);
  }
}

std::string roundTrip(std::uint16_t port, const std::string& bytes, bool halfClose) {
  ScopedFD socket = connectTo(port);
  sendAll(socket.get(), bytes);
  if (halfClose)
    ::shutdown(socket.get(), SHUT_WR);
  return readToEnd(socket.get());
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> objects;
  for (const auto& line : linesOf(text))
    if (auto json = nlohmann::json::parse(line, nullptr, false); json.is_object())
      objects.push_back(std::move(json));
  return objects;
}

}  // namespace korvelin::testing
