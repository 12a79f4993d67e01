#if defined(__linux__)

#include <openssl/evp.h>

#include <memory>
#include <new>

#include "core/platform/Sha256.h"

namespace korvelin::platform {

namespace {

struct ContextFree {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Fetched once: looking the algorithm up by name on every call costs more
// than hashing a small page.
const EVP_MD* algorithm() {
  static const EVP_MD* const fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
  return fetched;
}

}  // namespace

Sha256Digest sha256(const void* data, std::size_t size) {
  thread_local const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
  Sha256Digest digest{};
  unsigned int length = 0;
  if (!context || !algorithm() || EVP_DigestInit_ex2(context.get(), algorithm(), nullptr) != 1 ||
      EVP_DigestUpdate(context.get(), data, size) != 1 ||
      EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size())
    throw std::bad_alloc();
  return digest;
}

struct Sha256Stream::State {
  std::unique_ptr<EVP_MD_CTX, ContextFree> context{EVP_MD_CTX_new()};
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
  if (!state_->context || !algorithm() ||
      EVP_DigestInit_ex2(state_->context.get(), algorithm(), nullptr) != 1)
    throw std::bad_alloc();
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::update(const void* data, std::size_t size) {
  if (EVP_DigestUpdate(state_->context.get(), data, size) != 1)
    throw std::bad_alloc();
}

Sha256Digest Sha256Stream::finish() {
  Sha256Digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state_->context.get(), digest.data(), &length) != 1 ||
      length != digest.size())
    throw std::bad_alloc();
  return digest;
}

}  // namespace korvelin::platform

#endif  // __linux__
