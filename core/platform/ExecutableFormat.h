#pragma once

// Which executables this machine runs natively besides Mach-O files.
//   Linux: ELF executables and shared objects of the host's own class, byte
//          order and machine ("x86_64" on x86-64, "arm64" on AArch64, named as
//          the Mach-O reader names them), so that real programs can be
//          launched through the same gate.
//   macOS: none; every executable is read as Mach-O.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin::platform {

// At least this many leading bytes decide.
inline constexpr std::size_t kNativeExecutableHeaderBytes = 20;

// The architecture name of a native non-Mach-O executable whose first bytes
// are `header`; absent for anything else.
std::optional<std::string> nativeExecutableArchitecture(std::string_view header);

}  // namespace korvelin::platform
