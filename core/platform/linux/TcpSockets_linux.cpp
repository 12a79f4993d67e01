#if defined(__linux__)

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/platform/FileUtil.h"
#include "core/platform/ProcessInfo.h"
#include "core/platform/linux/ProcessInfo_linux.h"

namespace korvelin::platform {

namespace {

// A busy host may hold many thousand connections; a table larger than this
// is refused rather than read in part.
constexpr std::size_t kMaxTableBytes = 32 * 1024 * 1024;
constexpr std::uint32_t kLinuxEstablished = 0x01;
// Every other Linux state moves here, clear of the established value.
constexpr std::uint32_t kOtherStateBase = 0x100;

constexpr std::string_view kLoopback4 = "0100007F";  // 127.0.0.1
constexpr std::string_view kLoopbackMapped6 =
    "0000000000000000FFFF00000100007F";  // ::ffff:127.0.0.1

template <typename T>
bool parseHex(std::string_view text, T& value) {
  if (text.empty())
    return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return ec == std::errc() && end == text.data() + text.size();
}

template <typename T>
bool parseDecimal(std::string_view text, T& value) {
  if (text.empty())
    return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

std::vector<std::string_view> words(std::string_view line) {
  std::vector<std::string_view> result;
  while (!line.empty()) {
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos)
      break;
    line.remove_prefix(start);
    const auto end = line.find(' ');
    result.push_back(line.substr(0, end));
    if (end == std::string_view::npos)
      break;
    line.remove_prefix(end);
  }
  return result;
}

// "HEXADDRESS:HEXPORT" with an address of 8 (IPv4) or 32 (IPv6) digits.
bool parseEndpoint(std::string_view text, bool ipv6, bool& loopback, std::uint16_t& port) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos)
    return false;
  const auto address = text.substr(0, colon);
  if (address.size() != (ipv6 ? 32u : 8u) ||
      !std::all_of(address.begin(), address.end(),
                   [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
    return false;
  if (text.size() - colon - 1 != 4 || !parseHex(text.substr(colon + 1), port))
    return false;
  loopback = address == (ipv6 ? kLoopbackMapped6 : kLoopback4);
  return true;
}

}  // namespace

std::optional<std::vector<std::pair<std::uint64_t, TcpSocketRecord>>> parseTcpTable(
    std::string_view text,
    bool ipv6) {
  // The IPv6 table spells the third column "remote_address".
  // "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout
  // inode ..."
  const auto headerEnd = text.find('\n');
  if (headerEnd == std::string_view::npos)
    return std::nullopt;
  const auto header = words(text.substr(0, headerEnd));
  if (header.size() < 3 || header[0] != "sl" || header[1] != "local_address" ||
      (header[2] != "rem_address" && header[2] != "remote_address"))
    return std::nullopt;
  text.remove_prefix(headerEnd + 1);
  std::vector<std::pair<std::uint64_t, TcpSocketRecord>> sockets;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end == std::string_view::npos)
      return std::nullopt;  // a table always ends with a line feed
    const auto fields = words(text.substr(0, end));
    text.remove_prefix(end + 1);
    // sl local remote st queues timer retransmits uid timeout inode
    if (fields.size() < 10 || fields[0].empty() || fields[0].back() != ':')
      return std::nullopt;
    TcpSocketRecord record;
    std::uint32_t state;
    std::uint64_t inode;
    if (!parseEndpoint(fields[1], ipv6, record.localIsLoopback, record.localPort) ||
        !parseEndpoint(fields[2], ipv6, record.remoteIsLoopback, record.remotePort) ||
        fields[3].size() != 2 || !parseHex(fields[3], state) || !parseDecimal(fields[9], inode))
      return std::nullopt;
    record.state = state == kLinuxEstablished ? kTcpEstablished : kOtherStateBase + state;
    sockets.emplace_back(inode, record);
  }
  return sockets;
}

std::optional<std::vector<TcpSocketRecord>> tcpSockets(std::int32_t pid) {
  const std::string base = "/proc/" + std::to_string(pid);
  // The socket inodes of the descriptor table: "socket:[INODE]".
  std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir((base + "/fd").c_str()), &::closedir);
  if (!fds)
    return std::nullopt;
  std::vector<std::uint64_t> inodes;
  std::size_t descriptors = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(fds.get());
    if (!entry) {
      if (errno != 0)
        return std::nullopt;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    if (++descriptors > kMaxDescriptors)
      return std::nullopt;
    char target[64];
    const auto path = base + "/fd/" + std::string(name);
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target)
      continue;  // closed meanwhile, or not a socket
    const std::string_view link(target, static_cast<std::size_t>(n));
    constexpr std::string_view kPrefix = "socket:[";
    if (!link.starts_with(kPrefix) || !link.ends_with(']'))
      continue;
    std::uint64_t inode;
    if (parseDecimal(link.substr(kPrefix.size(), link.size() - kPrefix.size() - 1), inode))
      inodes.push_back(inode);
  }
  std::vector<TcpSocketRecord> result;
  if (inodes.empty())
    return result;
  std::sort(inodes.begin(), inodes.end());
  // The tables of the process's own network namespace.
  for (const bool ipv6 : {false, true}) {
    const auto text = readSmallFile(base + (ipv6 ? "/net/tcp6" : "/net/tcp"), kMaxTableBytes);
    if (!text) {
      if (ipv6 && errno == ENOENT)
        continue;  // a kernel without IPv6
      return std::nullopt;
    }
    const auto table = parseTcpTable(*text, ipv6);
    if (!table)
      return std::nullopt;
    for (const auto& [inode, record] : *table)
      if (std::binary_search(inodes.begin(), inodes.end(), inode))
        result.push_back(record);
  }
  return result;
}

}  // namespace korvelin::platform

#endif  // __linux__
