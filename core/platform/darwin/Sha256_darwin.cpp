#if defined(__APPLE__)

#include <CommonCrypto/CommonDigest.h>

#include <algorithm>
#include <limits>
#include <new>

#include "core/platform/Sha256.h"

namespace korvelin::platform {

Sha256Digest sha256(const void* data, std::size_t size) {
  static_assert(CC_SHA256_DIGEST_LENGTH == std::tuple_size_v<Sha256Digest>);
  Sha256Digest digest{};
  CC_SHA256_CTX context;
  CC_SHA256_Init(&context);
  const auto* bytes = static_cast<const unsigned char*>(data);
  // CC_LONG is 32 bits wide: longer inputs go in pieces.
  while (size > 0) {
    const std::size_t piece = std::min<std::size_t>(size, std::numeric_limits<CC_LONG>::max());
    CC_SHA256_Update(&context, bytes, static_cast<CC_LONG>(piece));
    bytes += piece;
    size -= piece;
  }
  CC_SHA256_Final(digest.data(), &context);
  return digest;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
