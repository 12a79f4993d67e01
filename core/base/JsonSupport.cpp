#include "core/base/JsonSupport.h"

#include <algorithm>

namespace korvelin::jsonio {

const nlohmann::json& requireMember(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object())
    throw ShapeError("expected an object");
  auto it = object.find(key);
  if (it == object.end())
    throw ShapeError("missing key \"" + std::string(key) + "\"");
  return *it;
}

void requireExactKeys(const nlohmann::json& object, std::initializer_list<std::string_view> keys) {
  requireKeysAmong(object, keys, {});
}

void requireKeysAmong(const nlohmann::json& object,
                      std::initializer_list<std::string_view> required,
                      std::initializer_list<std::string_view> optional) {
  if (!object.is_object())
    throw ShapeError("expected an object");
  for (auto key : required)
    if (!object.contains(key))
      throw ShapeError("missing key \"" + std::string(key) + "\"");
  for (const auto& [key, value] : object.items())
    if (std::find(required.begin(), required.end(), key) == required.end() &&
        std::find(optional.begin(), optional.end(), key) == optional.end())
      throw ShapeError("unrecognised key \"" + key + "\"");
}

const nlohmann::json* optionalMember(const nlohmann::json& object, std::string_view key) {
  if (!object.is_object())
    throw ShapeError("expected an object");
  auto it = object.find(key);
  return it == object.end() || it->is_null() ? nullptr : &*it;
}

std::string requireString(const nlohmann::json& object, std::string_view key) {
  const auto& value = requireMember(object, key);
  if (!value.is_string())
    throw ShapeError("\"" + std::string(key) + "\" is not a string");
  return value.get<std::string>();
}

bool requireBool(const nlohmann::json& object, std::string_view key) {
  const auto& value = requireMember(object, key);
  if (!value.is_boolean())
    throw ShapeError("\"" + std::string(key) + "\" is not a boolean");
  return value.get<bool>();
}

double requireNumber(const nlohmann::json& object, std::string_view key) {
  const auto& value = requireMember(object, key);
  if (!value.is_number())
    throw ShapeError("\"" + std::string(key) + "\" is not a number");
  return value.get<double>();
}

Uuid requireUuid(const nlohmann::json& object, std::string_view key) {
  auto parsed = Uuid::parse(requireString(object, key));
  if (!parsed)
    throw ShapeError("\"" + std::string(key) + "\" is not a UUID");
  return *parsed;
}

std::vector<std::string_view> nonEmptyLines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const auto end = text.find('\n');
    if (end != 0)
      lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos)
      break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::string compact(const nlohmann::json& value) {
  // Replace invalid UTF-8 rather than throw: encoding must never fail.
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace korvelin::jsonio
