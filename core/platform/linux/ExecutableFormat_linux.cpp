#if defined(__linux__)

#include <elf.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/platform/ExecutableFormat.h"

namespace korvelin::platform {

namespace {

#if defined(__x86_64__)
constexpr std::uint16_t kHostMachine = EM_X86_64;
constexpr const char* kHostName = "x86_64";
#elif defined(__aarch64__)
constexpr std::uint16_t kHostMachine = EM_AARCH64;
constexpr const char* kHostName = "arm64";
#else
#error "unsupported host machine"
#endif

}  // namespace

std::optional<std::string> nativeExecutableArchitecture(std::string_view header) {
  static_assert(sizeof(Elf64_Ehdr::e_ident) + sizeof(Elf64_Half) * 2 ==
                kNativeExecutableHeaderBytes);
  if (header.size() < kNativeExecutableHeaderBytes ||
      std::memcmp(header.data(), ELFMAG, SELFMAG) != 0 || header[EI_CLASS] != ELFCLASS64 ||
      header[EI_DATA] != ELFDATA2LSB || header[EI_VERSION] != EV_CURRENT)
    return std::nullopt;
  // Both fields are in the file's byte order, little-endian like the host's.
  auto half = [&](std::size_t offset) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(header[offset]) |
                                      static_cast<unsigned char>(header[offset + 1]) << 8);
  };
  const std::uint16_t type = half(offsetof(Elf64_Ehdr, e_type));
  if ((type != ET_EXEC && type != ET_DYN) || half(offsetof(Elf64_Ehdr, e_machine)) != kHostMachine)
    return std::nullopt;
  return std::string(kHostName);
}

}  // namespace korvelin::platform

#endif  // __linux__
