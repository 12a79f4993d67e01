// Pages of ".xray-state" are read back after crashes and from files anyone
// with the user's rights could have edited. The decoder must refuse whatever
// is malformed without crashing, and a record it accepts must be written and
// read again unchanged.
//
// Input: a first byte choosing how the rest is used.
//   even: the rest is a page as it lies on disk (almost always refused by
//         its digest, which is why the other form exists);
//   odd:  8 bytes of sequence, 4 bytes of length and the JSON bytes, sealed
//         into a page with a matching digest, so that the length and JSON
//         checks behind the digest are reached.

#include <sodium.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/proxy/XrayDurableStateStore.h"

using korvelin::XrayStatePage;

namespace {

std::string sealed(std::string_view rest) {
  std::string page(XrayStatePage::kSize, '\0');
  std::memcpy(page.data(), rest.data(), std::min<std::size_t>(rest.size(), 12));
  if (rest.size() > 12) {
    const auto json = rest.substr(12, XrayStatePage::kMaxJSONLength);
    std::memcpy(page.data() + 12, json.data(), json.size());
  }
  crypto_hash_sha256(reinterpret_cast<unsigned char*>(page.data()) + XrayStatePage::kSize - 32,
                     reinterpret_cast<const unsigned char*>(page.data()),
                     XrayStatePage::kSize - 32);
  return page;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0)
    return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const auto page = XrayStatePage::decode((data[0] & 1) ? sealed(rest) : std::string(rest));
  if (!page)
    return 0;
  // Compact re-encoding never makes the JSON longer than what was read.
  const auto written = XrayStatePage::encode(page->state, page->sequence);
  if (!written)
    __builtin_trap();
  const auto again = XrayStatePage::decode(*written);
  if (!again || !(*again == *page))
    __builtin_trap();
  return 0;
}
