// A pasted share link is the most hostile text the system reads from a user.
// Besides never crashing, every accepted link must give a configuration that
// is already canonical: writing it back as a link and parsing that again gives
// the same value, and its Xray configuration is one JSON object with exactly
// the three top-level keys.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/proxy/VLESSConnection.h"
#include "tests/support/VlessShareLink.h"

namespace {

using korvelin::VLESSConnectionTransport;
using korvelin::VLESSRealityConfiguration;
using korvelin::VLESSTransportSecurity;

void check(bool condition) {
  if (!condition)
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<VLESSRealityConfiguration> configuration;
  try {
    configuration.emplace(text);
  } catch (const korvelin::KorvelinCoreError& e) {
    check(e.errorCase() == korvelin::KorvelinCoreError::Case::invalidVLESSConfiguration);
    return 0;
  }
  const auto& c = *configuration;
  check(c.port != 0);
  check(VLESSRealityConfiguration::validatedEndpointHost(c.host) == c.host);
  check(c.publicKey.has_value() == (c.security == VLESSTransportSecurity::reality));
  check(c.serviceName.has_value() == (c.transport == VLESSConnectionTransport::grpc));
  check(VLESSRealityConfiguration(korvelin::testing::shareLink(c)) == c);

  const auto xray = nlohmann::json::parse(c.xrayJSON(1080));
  check(xray.is_object() && xray.size() == 3 && xray.contains("log") && xray.contains("inbounds") &&
        xray.contains("outbounds"));
  check(xray["outbounds"][0]["settings"]["vnext"][0]["address"] == c.host);
  return 0;
}
