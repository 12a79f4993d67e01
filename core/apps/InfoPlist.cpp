#include "core/apps/InfoPlist.h"

#include <plist/plist.h>

#include <cstdint>
#include <memory>

#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/FileUtil.h"

namespace korvelin {

namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};

}  // namespace

std::optional<InfoPlist> InfoPlist::parse(std::string_view bytes) {
  if (bytes.empty() || bytes.size() > kMaxBytes)
    return std::nullopt;
  // plist_from_memory tells binary from XML by the "bplist00" header. Older
  // libplist releases return nothing and newer ones an error code; in both
  // the output stays null on failure, which is all this reads.
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
  std::shared_ptr<void> owner(root, PlistFree());
  if (!root || plist_get_node_type(root) != PLIST_DICT)
    return std::nullopt;
  InfoPlist result;
  result.root_ = std::move(owner);
  return result;
}

InfoPlist InfoPlist::read(const std::string& path) {
  SecureFileSystem::requireNoSymlinkComponents(
      path, ErrorFactory::always(KorvelinCoreError::invalidInfoPlist(path)));
  std::string bytes;
  if (platform::readRegularFileBounded(path, kMaxBytes, bytes) != platform::BoundedReadStatus::ok)
    throw KorvelinCoreError::invalidInfoPlist(path);
  auto plist = parse(bytes);
  if (!plist)
    throw KorvelinCoreError::invalidInfoPlist(path);
  return std::move(*plist);
}

std::optional<std::string> InfoPlist::string(std::string_view key) const {
  const std::string name(key);
  const plist_t value = plist_dict_get_item(root_.get(), name.c_str());
  if (!value || plist_get_node_type(value) != PLIST_STRING)
    return std::nullopt;
  // By pointer and length: plist_get_string_val asserts on a NUL inside.
  std::uint64_t length = 0;
  const char* text = plist_get_string_ptr(value, &length);
  if (!text)
    return std::nullopt;
  const std::string_view found(text, static_cast<std::size_t>(length));
  if (found.find('\0') != std::string_view::npos)
    return std::nullopt;
  return std::string(found);
}

}  // namespace korvelin
