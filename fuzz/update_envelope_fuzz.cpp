// The update feed is the one document the system downloads from the
// internet. Whatever arrives, authentication ends with a release or one of
// the update errors. Inputs starting with 'S' are signed here with the
// target's own key first, so that the manifest rules behind the signature
// are explored too, not only the envelope.

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"
#include "core/update/AppUpdateManifest.h"

namespace {

struct Keys {
  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
  unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
  Keys() {
    unsigned char seed[crypto_sign_SEEDBYTES] = {7};
    if (sodium_init() < 0)
      __builtin_trap();
    crypto_sign_seed_keypair(publicKey, secretKey, seed);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Keys keys;
  static const korvelin::AppUpdateConfiguration configuration(
      "https://updates.example.com/feed.json",
      std::string(reinterpret_cast<const char*>(keys.publicKey), 32));
  std::string input(reinterpret_cast<const char*>(data), size);
  if (!input.empty() && input[0] == 'S') {
    const std::string payload = input.substr(1);
    std::string signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char*>(payload.data()), payload.size(),
                         keys.secretKey);
    input = nlohmann::json{{"payload", korvelin::base64Encode(payload)},
                           {"signature", korvelin::base64Encode(signature)}}
                .dump();
  }
  try {
    const auto release = korvelin::AppUpdateRelease::authenticate(
        input, configuration, "com.korvelin.app", 1'800'000'000, "14.6.1");
    if (release.schemaVersion != 1 || release.build == 0 || release.size == 0)
      __builtin_trap();
  } catch (const korvelin::AppUpdateError&) {
  }
  return 0;
}
