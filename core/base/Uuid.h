#pragma once

#include <array>
#include <compare>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace korvelin {

// A 128-bit identifier. Shown and stored in JSON in canonical upper case;
// lower case in file and directory names and in configuration text.
struct Uuid {
  std::array<unsigned char, 16> bytes{};

  // Accepts the 36-character hyphenated form in either case.
  static std::optional<Uuid> parse(std::string_view text);
  static Uuid random();

  std::string uppercaseString() const;
  std::string lowercaseString() const;

  auto operator<=>(const Uuid&) const = default;
};

void to_json(nlohmann::json& json, const Uuid& uuid);
// Throws nlohmann::json::type_error for anything but a UUID string.
void from_json(const nlohmann::json& json, Uuid& uuid);

}  // namespace korvelin
