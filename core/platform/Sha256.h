#pragma once

// SHA-256 through the platform's own cryptographic library, which uses the
// processor's hash instructions where there are any (a 16 KiB page costs a
// few microseconds instead of the ~80 of a portable implementation).
//   Linux: OpenSSL's libcrypto (EVP).   macOS: CommonCrypto.

#include <array>
#include <cstddef>

namespace korvelin::platform {

using Sha256Digest = std::array<unsigned char, 32>;

// The digest of `size` bytes at `data`. Throws std::bad_alloc when the
// library cannot set up its context, the only way it can fail.
Sha256Digest sha256(const void* data, std::size_t size);

}  // namespace korvelin::platform
