#include "core/base/Base64.h"

#include <sodium.h>

namespace korvelin {

std::string base64Encode(std::string_view bytes) {
  constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
  std::string text(sodium_base64_encoded_len(bytes.size(), kVariant), '\0');
  sodium_bin2base64(text.data(), text.size(), reinterpret_cast<const unsigned char*>(bytes.data()),
                    bytes.size(), kVariant);
  text.pop_back();  // the terminating zero written by libsodium
  return text;
}

std::optional<std::string> base64Decode(std::string_view text) {
  std::string bytes(text.size() / 4 * 3 + 3, '\0');
  size_t length = 0;
  // A null end pointer makes libsodium refuse input it did not consume fully.
  if (sodium_base642bin(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), text.data(),
                        text.size(), nullptr, &length, nullptr,
                        sodium_base64_VARIANT_ORIGINAL) != 0)
    return std::nullopt;
  bytes.resize(length);
  return bytes;
}

}  // namespace korvelin
