#include "core/apps/InfoPlist.h"

#include <plist/plist.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/base/CoreError.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/FileUtil.h"

namespace korvelin {

namespace {

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPointer = std::unique_ptr<void, PlistFree>;

struct IteratorFree {
  void operator()(plist_dict_iter iterator) const { std::free(iterator); }
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
  const PlistPointer owner(root);
  if (!root || plist_get_node_type(root) != PLIST_DICT)
    return std::nullopt;

  InfoPlist result;
  plist_dict_iter raw = nullptr;
  plist_dict_new_iter(root, &raw);
  const std::unique_ptr<void, IteratorFree> iterator(raw);
  if (!raw)
    return std::nullopt;
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(root, raw, &key, &value);
    if (!key)
      break;
    const std::unique_ptr<char, decltype(&std::free)> keyOwner(key, &std::free);
    if (value && plist_get_node_type(value) == PLIST_STRING) {
      char* text = nullptr;
      plist_get_string_val(value, &text);
      const std::unique_ptr<char, decltype(&std::free)> textOwner(text, &std::free);
      if (text)
        result.strings_.insert_or_assign(key, text);
    }
  }
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
  if (auto found = strings_.find(key); found != strings_.end())
    return found->second;
  return std::nullopt;
}

}  // namespace korvelin
