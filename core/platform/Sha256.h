#pragma once

// SHA-256 through the platform's own cryptographic library, which uses the
// processor's hash instructions where there are any (a 16 KiB page costs a
// few microseconds instead of the ~80 of a portable implementation).
//   Linux: OpenSSL's libcrypto (EVP).   macOS: CommonCrypto.

#include <array>
#include <cstddef>
#include <memory>

namespace korvelin::platform {

using Sha256Digest = std::array<unsigned char, 32>;

// The digest of `size` bytes at `data`. Throws std::bad_alloc when the
// library cannot set up its context, the only way it can fail.
Sha256Digest sha256(const void* data, std::size_t size);

// The same digest over input that arrives in pieces (a whole executable read
// a megabyte at a time). `finish` ends the stream; the object is spent after.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;

  void update(const void* data, std::size_t size);
  Sha256Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace korvelin::platform
