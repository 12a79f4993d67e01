#include "tests/support/SignedManifest.h"

#include <sodium.h>

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "core/base/Base64.h"

namespace korvelin::testing {

ManifestKeys::ManifestKeys()
    : publicKey(crypto_sign_PUBLICKEYBYTES, '\0'), secretKey(crypto_sign_SECRETKEYBYTES, '\0') {
  if (sodium_init() < 0)
    throw std::runtime_error("sodium");
  crypto_sign_keypair(reinterpret_cast<unsigned char*>(publicKey.data()),
                      reinterpret_cast<unsigned char*>(secretKey.data()));
}

std::string ManifestKeys::sign(const std::string& payload) const {
  std::string signature(crypto_sign_BYTES, '\0');
  crypto_sign_detached(reinterpret_cast<unsigned char*>(signature.data()), nullptr,
                       reinterpret_cast<const unsigned char*>(payload.data()), payload.size(),
                       reinterpret_cast<const unsigned char*>(secretKey.data()));
  return signature;
}

std::string ManifestKeys::envelope(const std::string& payload) const {
  return manifestEnvelope(payload, sign(payload));
}

std::string manifestEnvelope(const std::string& payload, const std::string& signature) {
  return nlohmann::json{{"payload", base64Encode(payload)}, {"signature", base64Encode(signature)}}
      .dump();
}

}  // namespace korvelin::testing
