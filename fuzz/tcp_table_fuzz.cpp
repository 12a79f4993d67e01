// The socket tables of /proc are read as text. The first input byte chooses
// the IPv4 or the IPv6 layout; a table that parses must give an established
// state only for the kernel's established code.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/platform/linux/ProcessInfo_linux.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const bool ipv6 = data[0] & 1;
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (const auto table = korvelin::platform::parseTcpTable(text, ipv6)) {
    for (const auto& [inode, socket] : *table)
      if (socket.state != korvelin::platform::kTcpEstablished && socket.state < 0x100)
        __builtin_trap();
  }
  return 0;
}
