#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/apps/MachOArchitectureInspector.h"
#include "core/base/CoreError.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

namespace korvelin {
namespace {

constexpr std::uint32_t kArm64 = 0x100000c;
constexpr std::uint32_t kX86_64 = 0x1000007;

// Writes `value` over `width` bytes at `at`, big-endian or little-endian,
// growing `bytes` as needed.
void put(std::string& bytes, std::size_t at, std::uint64_t value, int width, bool big = true) {
  bytes.resize(std::max(bytes.size(), at + width), '\0');
  for (int i = 0; i < width; ++i)
    bytes[at + i] = static_cast<char>(value >> (8 * (big ? width - 1 - i : i)));
}

// A 64-bit thin header as toolchains write it (little-endian), or the 32-bit
// big-endian form.
std::string thin(std::uint32_t type, std::uint32_t subtype, bool bigEndian32 = false) {
  std::string bytes(bigEndian32 ? 28 : 32, '\0');
  put(bytes, 0, bigEndian32 ? 0xfeedface : 0xfeedfacf, 4, bigEndian32);
  put(bytes, 4, type, 4, bigEndian32);
  put(bytes, 8, subtype, 4, bigEndian32);
  return bytes;
}

struct Slice {
  std::uint32_t type;
  std::uint32_t subtype;
  std::uint64_t offset;
  std::uint64_t size;
  std::uint32_t alignment = 12;
  std::string header = thin(type, subtype);
};

// A universal file: its table (with 64-bit offsets and sizes when `wide`),
// then each slice's header at its offset.
std::string fat(const std::vector<Slice>& slices, bool wide = false) {
  std::string bytes;
  put(bytes, 0, wide ? 0xcafebabf : 0xcafebabe, 4);
  put(bytes, 4, slices.size(), 4);
  const int width = wide ? 8 : 4;
  std::size_t at = 8;
  for (const auto& slice : slices) {
    put(bytes, at, slice.type, 4);
    put(bytes, at + 4, slice.subtype, 4);
    put(bytes, at + 8, slice.offset, width);
    put(bytes, at + 8 + width, slice.size, width);
    put(bytes, at + 8 + 2 * width, slice.alignment, 4);
    at += wide ? 32 : 20;
  }
  for (const auto& slice : slices) {
    bytes.resize(std::max<std::size_t>(bytes.size(), slice.offset + slice.size), '\0');
    bytes.replace(slice.offset, std::min<std::size_t>(slice.header.size(), slice.size),
                  slice.header.substr(0, slice.size));
  }
  return bytes;
}

std::string inspect(const std::string& bytes) {
  try {
    std::string names;
    for (const auto& name : MachOArchitectureInspector::machOArchitectures(bytes))
      names += (names.empty() ? "" : ",") + name;
    return names;
  } catch (const KorvelinCoreError& error) {
    EXPECT_EQ(error.errorCase(), KorvelinCoreError::Case::architectureInspectionFailed);
    const std::string prefix = "Could not inspect executable architectures: ";
    const std::string text = error.errorDescription();
    return "error: " + text.substr(prefix.size(), text.size() - prefix.size() - 1);
  }
}

TEST(MachOArchitectureInspectorTest, NamesOrRefusesEveryShape) {
  std::vector<Slice> tooMany;
  for (int i = 0; i < 129; ++i)
    tooMany.push_back({kArm64, 0, 4096u * (i + 1), 32});
  std::string swappedFat = fat({{kArm64, 0, 4096, 32}});
  put(swappedFat, 0, 0xcafebabe, 4, false);
  put(swappedFat, 4, 1, 4, false);
  // A Java class file: the same magic, then minor and major version (52).
  const std::string javaClass("\xca\xfe\xba\xbe\x00\x00\x00\x34\x00\x1d\x0a\x00\x06\x00\x0f", 15);
  Slice mismatched{kArm64, 0, 4096, 32};
  mismatched.header = thin(kX86_64, 3);
  Slice notMachO{kArm64, 0, 4096, 32};
  notMachO.header = std::string("\177ELF", 4) + std::string(28, '\0');
  const std::string truncated = "error: Truncated Mach-O header";
  const std::string count = "error: Invalid Mach-O slice count";
  const std::string bounds = "error: Invalid Mach-O slice bounds or alignment";
  const std::string magic = "error: Unsupported Mach-O magic";

  const struct {
    const char* name;
    std::string bytes;
    std::string expected;
  } cases[] = {
      {"thin arm64e", thin(kArm64, 2), "arm64e"},
      {"thin arm64 subtype 1", thin(kArm64, 1), "arm64"},
      {"capability bits of the subtype are masked", thin(kArm64, 0x80000002), "arm64e"},
      {"big-endian 32-bit header", thin(7, 3, true), "i386"},
      {"universal in slice order",
       fat({{kX86_64, 3, 4096, 32}, {kArm64, 0, 8192, 32}, {0x200000c, 1, 12288, 32}}),
       "x86_64,arm64,arm64_32"},
      {"64-bit universal", fat({{kArm64, 2, 4096, 32}, {kX86_64, 8, 8192, 32}}, true),
       "arm64e,x86_64h"},
      {"empty file", "", truncated},
      {"header cut short", thin(kArm64, 0).substr(0, 20), truncated},
      {"unknown magic", std::string("\177ELF\2\1\1", 7) + std::string(40, '\0'), magic},
      {"unknown CPU", thin(18, 0), "error: Unsupported Mach-O CPU type/subtype: 18/0"},
      {"unknown subtype", thin(kArm64, 0x80000007),
       "error: Unsupported Mach-O CPU type/subtype: 16777228/7"},
      {"129 slices", fat(tooMany), count},
      {"no slices", fat({}), count},
      {"byte-swapped universal header", swappedFat, count},
      {"Java class file", javaClass, truncated},
      {"table cut short", fat({{kArm64, 0, 4096, 32}, {kX86_64, 3, 8192, 32}}).substr(0, 30),
       truncated},
      {"slice inside the table", fat({{kArm64, 0, 16, 32, 0}}), bounds},
      {"slice past the end", fat({{kArm64, 0, 4096, 32}}).substr(0, 4100), bounds},
      {"misaligned slice", fat({{kArm64, 0, 4100, 32, 12}}), bounds},
      {"alignment exponent 64", fat({{kArm64, 0, 4096, 32, 64}}), bounds},
      {"overlapping slices", fat({{kArm64, 0, 4096, 64, 4}, {kX86_64, 3, 4112, 32, 4}}),
       "error: Overlapping Mach-O slices"},
      {"slice shorter than its header", fat({{kArm64, 0, 4096, 16}}),
       "error: Truncated Mach-O slice"},
      {"slice of another architecture than its entry", fat({mismatched}),
       "error: Mach-O slice architecture does not match FAT table"},
      {"slice that is not Mach-O", fat({notMachO}), magic},
      {"two arm64 slices", fat({{kArm64, 0, 4096, 32}, {kArm64, 1, 8192, 32}}),
       "error: Duplicate Mach-O architecture"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(inspect(c.bytes), c.expected) << c.name;
}

// What clang and lipo really write, read from files the way inspection reads
// them.
TEST(MachOArchitectureInspectorTest, ReadsToolchainOutputAndNativePrograms) {
  testing::ScopedTempDir dir;
  const std::string source = dir.child("f.c");
  std::ofstream(source) << "int f(void) { return 1; }\n";
  std::vector<std::string> objects;
  for (const std::string target : {"x86_64-apple-macos11", "arm64-apple-macos11"}) {
    objects.push_back(dir.child(target + ".o"));
    const auto built =
        testing::run({"/usr/bin/clang-14", "-target", target, "-c", source, "-o", objects.back()});
    if (built.exitCode != 0)
      GTEST_SKIP() << "clang-14 cannot build for " << target << ": " << built.errors;
  }
  const std::string universal = dir.child("universal");
  ASSERT_EQ(testing::run(
                {"/usr/bin/llvm-lipo-14", "-create", objects[0], objects[1], "-output", universal})
                .exitCode,
            0);

  const MachOArchitectureInspector inspector;
  EXPECT_EQ(inspector.architectures(objects[1]), std::vector<std::string>{"arm64"});
  EXPECT_EQ(inspector.architectures(universal), (std::vector<std::string>{"x86_64", "arm64"}));
}

}  // namespace
}  // namespace korvelin
