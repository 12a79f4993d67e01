#pragma once

// The architectures an executable is built for, from its Mach-O header or
// universal ("fat") table. The parser works on any byte source, so it is the
// same code on every OS and is tested from bytes; on Linux a native ELF
// executable of the host's machine is also accepted (core/platform/
// ExecutableFormat.h), so real programs pass the same gate.
//
//   MachOArchitectureInspector inspector;
//   std::vector<std::string> names = inspector.architectures("/path/to/executable");
//   // {"x86_64", "arm64"}; failures throw architectureInspectionFailed
//
// Every failure is `architectureInspectionFailed` with one of the texts in
// the .cpp (for example "Overlapping Mach-O slices").

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace korvelin {

class ArchitectureInspecting {
 public:
  virtual ~ArchitectureInspecting() = default;
  virtual std::vector<std::string> architectures(const std::string& path) const = 0;
};

class MachOArchitectureInspector : public ArchitectureInspecting {
 public:
  // Opens the file (no final link, a regular file) and reads its header.
  std::vector<std::string> architectures(const std::string& path) const override;

  // Reads exactly `size` bytes at `offset` into `buffer`; false when fewer
  // are there.
  using PositionedRead = std::function<bool(void* buffer, std::size_t size, std::uint64_t offset)>;

  // The Mach-O names of a file of `fileSize` bytes that `read` gives.
  static std::vector<std::string> machOArchitectures(const PositionedRead& read,
                                                     std::uint64_t fileSize);
  static std::vector<std::string> machOArchitectures(std::string_view bytes);
};

}  // namespace korvelin
