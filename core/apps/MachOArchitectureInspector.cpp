#include "core/apps/MachOArchitectureInspector.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <set>

#include "core/base/CoreError.h"
#include "core/platform/Eintr.h"
#include "core/platform/ExecutableFormat.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"

namespace korvelin {

namespace {

constexpr std::uint32_t kFatMagic = 0xcafebabe;
constexpr std::uint32_t kFatMagic64 = 0xcafebabf;
constexpr std::uint32_t kMachMagic = 0xfeedface;
constexpr std::uint32_t kMachMagic64 = 0xfeedfacf;
constexpr std::uint32_t kMaxSlices = 128;
constexpr std::uint32_t kSubtypeMask = 0xffffff;

[[noreturn]] void fail(const std::string& detail) {
  throw KorvelinCoreError::architectureInspectionFailed(detail);
}

std::uint32_t bigEndian32(const unsigned char* bytes) {
  return std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
         std::uint32_t{bytes[2]} << 8 | std::uint32_t{bytes[3]};
}

std::uint64_t bigEndian64(const unsigned char* bytes) {
  return std::uint64_t{bigEndian32(bytes)} << 32 | bigEndian32(bytes + 4);
}

std::uint32_t byteSwapped(std::uint32_t value) {
  return (value >> 24) | ((value >> 8) & 0xff00) | ((value << 8) & 0xff0000) | (value << 24);
}

struct CpuName {
  std::uint32_t type;
  std::uint32_t subtype;
  std::string_view name;
};

constexpr std::array<CpuName, 11> kNames{{
    {7, 3, "i386"},
    {12, 0, "arm"},
    {12, 9, "armv7"},
    {12, 11, "armv7s"},
    {12, 12, "armv7k"},
    {0x1000007, 3, "x86_64"},
    {0x1000007, 8, "x86_64h"},
    {0x100000c, 0, "arm64"},
    {0x100000c, 1, "arm64"},
    {0x100000c, 2, "arm64e"},
    {0x200000c, 1, "arm64_32"},
}};

std::string architectureName(std::uint32_t type, std::uint32_t subtype) {
  const std::uint32_t masked = subtype & kSubtypeMask;
  for (const auto& entry : kNames)
    if (entry.type == type && entry.subtype == masked)
      return std::string(entry.name);
  fail("Unsupported Mach-O CPU type/subtype: " + std::to_string(static_cast<std::int32_t>(type)) +
       "/" + std::to_string(masked));
}

struct ThinHeader {
  std::uint32_t type;
  std::uint32_t subtype;
};

// A positioned read that fails with `truncated` when the bytes are not all there.
class Reader {
 public:
  Reader(const MachOArchitectureInspector::PositionedRead& read, std::uint64_t size)
      : read_(read), size_(size) {}

  std::uint64_t size() const { return size_; }

  void exact(void* buffer, std::size_t length, std::uint64_t offset, const char* truncated) const {
    if (offset > size_ || length > size_ - offset || !read_(buffer, length, offset))
      fail(truncated);
  }

 private:
  const MachOArchitectureInspector::PositionedRead& read_;
  std::uint64_t size_;
};

// The header of a thin file, or of the slice [offset, offset + length).
ThinHeader thinHeader(const Reader& reader,
                      std::uint64_t offset,
                      std::uint64_t length,
                      const char* truncated) {
  unsigned char bytes[12];
  if (length < 4)
    fail(truncated);
  reader.exact(bytes, 4, offset, truncated);
  const std::uint32_t magic = bigEndian32(bytes);
  bool swapped = false;
  std::uint64_t headerSize = 0;
  if (magic == kMachMagic || magic == kMachMagic64) {
    headerSize = magic == kMachMagic ? 28 : 32;
  } else if (magic == byteSwapped(kMachMagic) || magic == byteSwapped(kMachMagic64)) {
    swapped = true;
    headerSize = magic == byteSwapped(kMachMagic) ? 28 : 32;
  } else {
    fail("Unsupported Mach-O magic");
  }
  if (length < headerSize)
    fail(truncated);
  reader.exact(bytes, 12, offset, truncated);
  std::uint32_t type = bigEndian32(bytes + 4);
  std::uint32_t subtype = bigEndian32(bytes + 8);
  if (swapped) {
    type = byteSwapped(type);
    subtype = byteSwapped(subtype);
  }
  return {type, subtype};
}

struct Slice {
  std::uint32_t type;
  std::uint32_t subtype;
  std::uint64_t offset;
  std::uint64_t size;
};

std::vector<std::string> universalArchitectures(const Reader& reader, bool wide) {
  constexpr const char* kTruncated = "Truncated Mach-O header";
  unsigned char word[4];
  reader.exact(word, 4, 4, kTruncated);
  const std::uint32_t count = bigEndian32(word);
  if (count < 1 || count > kMaxSlices)
    fail("Invalid Mach-O slice count");

  const std::size_t entrySize = wide ? 32 : 20;
  std::vector<unsigned char> table(count * entrySize);
  reader.exact(table.data(), table.size(), 8, kTruncated);
  const std::uint64_t tableEnd = 8 + table.size();

  std::vector<Slice> slices;
  for (std::uint32_t i = 0; i < count; ++i) {
    const unsigned char* entry = table.data() + i * entrySize;
    Slice slice{bigEndian32(entry), bigEndian32(entry + 4), 0, 0};
    std::uint32_t alignment = 0;
    if (wide) {
      slice.offset = bigEndian64(entry + 8);
      slice.size = bigEndian64(entry + 16);
      alignment = bigEndian32(entry + 24);
    } else {
      slice.offset = bigEndian32(entry + 8);
      slice.size = bigEndian32(entry + 12);
      alignment = bigEndian32(entry + 16);
    }
    if (slice.offset < tableEnd || slice.offset > reader.size() ||
        slice.size > reader.size() - slice.offset || alignment > 63 ||
        slice.offset % (std::uint64_t{1} << alignment) != 0)
      fail("Invalid Mach-O slice bounds or alignment");
    slices.push_back(slice);
  }

  std::vector<const Slice*> byOffset;
  for (const auto& slice : slices)
    byOffset.push_back(&slice);
  std::sort(byOffset.begin(), byOffset.end(),
            [](const Slice* a, const Slice* b) { return a->offset < b->offset; });
  for (std::size_t i = 1; i < byOffset.size(); ++i)
    if (byOffset[i]->offset < byOffset[i - 1]->offset + byOffset[i - 1]->size)
      fail("Overlapping Mach-O slices");

  std::vector<std::string> names;
  std::set<std::string> seen;
  for (const auto& slice : slices) {
    const ThinHeader header =
        thinHeader(reader, slice.offset, slice.size, "Truncated Mach-O slice");
    if (header.type != slice.type || header.subtype != slice.subtype)
      fail("Mach-O slice architecture does not match FAT table");
    std::string name = architectureName(slice.type, slice.subtype);
    if (!seen.insert(name).second)
      fail("Duplicate Mach-O architecture");
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace

std::vector<std::string> MachOArchitectureInspector::machOArchitectures(const PositionedRead& read,
                                                                        std::uint64_t fileSize) {
  const Reader reader(read, fileSize);
  unsigned char word[4];
  reader.exact(word, 4, 0, "Truncated Mach-O header");
  const std::uint32_t magic = bigEndian32(word);
  if (magic == kFatMagic || magic == byteSwapped(kFatMagic))
    return universalArchitectures(reader, false);
  if (magic == kFatMagic64 || magic == byteSwapped(kFatMagic64))
    return universalArchitectures(reader, true);
  const ThinHeader header = thinHeader(reader, 0, fileSize, "Truncated Mach-O header");
  return {architectureName(header.type, header.subtype)};
}

std::vector<std::string> MachOArchitectureInspector::machOArchitectures(std::string_view bytes) {
  return machOArchitectures(
      [bytes](void* buffer, std::size_t size, std::uint64_t offset) {
        if (offset > bytes.size() || size > bytes.size() - offset)
          return false;
        std::memcpy(buffer, bytes.data() + offset, size);
        return true;
      },
      bytes.size());
}

std::vector<std::string> MachOArchitectureInspector::architectures(const std::string& path) const {
  platform::ScopedFD fd(platform::retryOnEintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
  struct stat info {};
  if (!fd)
    fail(failureDetail(errno, "open", path));
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode))
    fail("not a regular file: " + path);
  const PositionedRead read = [&](void* buffer, std::size_t size, std::uint64_t offset) {
    return platform::preadFull(fd.get(), buffer, size, static_cast<long long>(offset)) ==
           static_cast<long>(size);
  };
  const auto fileSize = static_cast<std::uint64_t>(info.st_size);
  std::string header(std::min<std::uint64_t>(fileSize, platform::kNativeExecutableHeaderBytes),
                     '\0');
  if (read(header.data(), header.size(), 0))
    if (auto native = platform::nativeExecutableArchitecture(header))
      return {*native};
  return machOArchitectures(read, fileSize);
}

}  // namespace korvelin
