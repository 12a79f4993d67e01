#include "core/base/Uuid.h"

#include <uuid/uuid.h>

#include <nlohmann/json.hpp>

namespace korvelin {

std::optional<Uuid> Uuid::parse(std::string_view text) {
  if (text.size() != 36)
    return std::nullopt;
  char buffer[37];
  text.copy(buffer, 36);
  buffer[36] = '\0';
  Uuid result;
  if (uuid_parse(buffer, result.bytes.data()) != 0)
    return std::nullopt;
  return result;
}

Uuid Uuid::random() {
  Uuid result;
  uuid_generate_random(result.bytes.data());
  return result;
}

std::string Uuid::uppercaseString() const {
  char buffer[37];
  uuid_unparse_upper(bytes.data(), buffer);
  return buffer;
}

std::string Uuid::lowercaseString() const {
  char buffer[37];
  uuid_unparse_lower(bytes.data(), buffer);
  return buffer;
}

void to_json(nlohmann::json& json, const Uuid& uuid) {
  json = uuid.uppercaseString();
}

void from_json(const nlohmann::json& json, Uuid& uuid) {
  const auto& text = json.get_ref<const std::string&>();
  auto parsed = Uuid::parse(text);
  if (!parsed)
    throw nlohmann::json::type_error::create(302, "not a UUID string", &json);
  uuid = *parsed;
}

}  // namespace korvelin
