#pragma once

// An application's information dictionary ("Contents/Info.plist"), XML or
// binary, read through libplist. Every key the adapters read is a string; a
// value of another type, or a string holding a NUL byte, reads as absent.
//
//   auto plist = InfoPlist::read(bundle + "/Contents/Info.plist");  // throws invalidInfoPlist
//   std::optional<std::string> identifier = plist.string("CFBundleIdentifier");

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

class InfoPlist {
 public:
  // Larger files are refused unread: a real one is a few kilobytes.
  static constexpr std::size_t kMaxBytes = 1048576;

  // Absent unless `bytes` are one property list whose top level is a
  // dictionary.
  static std::optional<InfoPlist> parse(std::string_view bytes);

  // Reads the file at `path`, reached without any symbolic link, which must
  // be a regular file of at most kMaxBytes that parses. Anything else is
  // `invalidInfoPlist` with the path.
  static InfoPlist read(const std::string& path);

  // The value of `key` when it is a string.
  std::optional<std::string> string(std::string_view key) const;

 private:
  // The parsed dictionary. Keys are only ever looked up by name: libplist
  // 2.2 aborts the process (an assert) when asked for the text of a key or
  // string that holds a NUL byte, which a crafted binary file can contain.
  std::shared_ptr<void> root_;
};

}  // namespace korvelin
