#if defined(__APPLE__)

#include <CommonCrypto/CommonDigest.h>

#include <algorithm>
#include <limits>
#include <new>

#include "core/platform/Sha256.h"

namespace korvelin::platform {

namespace {

void updateInPieces(CC_SHA256_CTX& context, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  // CC_LONG is 32 bits wide: longer inputs go in pieces.
  while (size > 0) {
    const std::size_t piece = std::min<std::size_t>(size, std::numeric_limits<CC_LONG>::max());
    CC_SHA256_Update(&context, bytes, static_cast<CC_LONG>(piece));
    bytes += piece;
    size -= piece;
  }
}

}  // namespace

Sha256Digest sha256(const void* data, std::size_t size) {
  static_assert(CC_SHA256_DIGEST_LENGTH == std::tuple_size_v<Sha256Digest>);
  Sha256Digest digest{};
  CC_SHA256_CTX context;
  CC_SHA256_Init(&context);
  updateInPieces(context, data, size);
  CC_SHA256_Final(digest.data(), &context);
  return digest;
}

struct Sha256Stream::State {
  CC_SHA256_CTX context;
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
  CC_SHA256_Init(&state_->context);
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::update(const void* data, std::size_t size) {
  updateInPieces(state_->context, data, size);
}

Sha256Digest Sha256Stream::finish() {
  Sha256Digest digest{};
  CC_SHA256_Final(digest.data(), &state_->context);
  return digest;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
