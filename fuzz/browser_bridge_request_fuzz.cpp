// The bridge's request line comes from any program that can reach its
// socket. Reading it must never crash, and a link it accepts must be an
// http(s) link without user information, passed on byte for byte as sent.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/apps/ClaudeBrowserBridge.h"
#include "core/base/ParsedURL.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const std::string key(64, '0');
  const auto url = korvelin::ClaudeBrowserBridgeRequest::acceptedURL(line, key);
  if (!url)
    return 0;
  const auto request = nlohmann::json::parse(line);
  if (request.at("url").get<std::string>() != *url || request.at("key") != key)
    __builtin_trap();
  const auto parsed = korvelin::ParsedURL::parse(*url);
  using Part = korvelin::ParsedURL::Part;
  if (!parsed || parsed->carries(Part::user) || parsed->carries(Part::password))
    __builtin_trap();
  const auto scheme = parsed->part(Part::scheme);
  if (scheme != "http" && scheme != "https")
    __builtin_trap();
  return 0;
}
