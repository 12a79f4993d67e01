#pragma once

#include <string>

namespace korvelin::testing {

// A fresh Ed25519 key pair that signs release manifests the way the release
// tooling does.
struct ManifestKeys {
  std::string publicKey;
  std::string secretKey;

  ManifestKeys();
  // The detached signature of `payload`.
  std::string sign(const std::string& payload) const;
  // What a feed serves: `payload` with its signature, both in Base64.
  std::string envelope(const std::string& payload) const;
};

// An envelope of `payload` with any `signature`.
std::string manifestEnvelope(const std::string& payload, const std::string& signature);

}  // namespace korvelin::testing
