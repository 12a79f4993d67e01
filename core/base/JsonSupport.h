#pragma once

// Strict reading of JSON documents from outside the process (files on disk,
// protocol messages). Every reader enforces exact key sets and checks integer
// ranges; failures surface as one error chosen by the caller.

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/Uuid.h"

namespace korvelin::jsonio {

// Thrown by the readers below; turned into a KorvelinCoreError by `decode`.
struct ShapeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Requires an object with exactly these keys.
void requireExactKeys(const nlohmann::json& object, std::initializer_list<std::string_view> keys);

// Requires an object with every key of `required`, any of `optional`, and no
// other key.
void requireKeysAmong(const nlohmann::json& object,
                      std::initializer_list<std::string_view> required,
                      std::initializer_list<std::string_view> optional);

const nlohmann::json& requireMember(const nlohmann::json& object, std::string_view key);

// A member that may be absent; JSON null reads as absent too.
const nlohmann::json* optionalMember(const nlohmann::json& object, std::string_view key);

std::string requireString(const nlohmann::json& object, std::string_view key);
bool requireBool(const nlohmann::json& object, std::string_view key);
// A UUID string in either case.
Uuid requireUuid(const nlohmann::json& object, std::string_view key);
// Any JSON number, integer or not, as a double.
double requireNumber(const nlohmann::json& object, std::string_view key);

// An integer member that fits T. Floating-point numbers and booleans are refused.
template <typename T>
T requireInteger(const nlohmann::json& object, std::string_view key) {
  static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
  const auto& value = requireMember(object, key);
  if (value.is_number_unsigned()) {
    auto n = value.get<std::uint64_t>();
    if (n <= static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
      return static_cast<T>(n);
  } else if (value.is_number_integer()) {
    auto n = value.get<std::int64_t>();
    if constexpr (std::is_signed_v<T>) {
      if (n >= std::numeric_limits<T>::min() && n <= std::numeric_limits<T>::max())
        return static_cast<T>(n);
    } else {
      if (n >= 0 && static_cast<std::uint64_t>(n) <= std::numeric_limits<T>::max())
        return static_cast<T>(n);
    }
  }
  throw ShapeError("\"" + std::string(key) + "\" is not an integer in range");
}

// Parses `text` (no comments, no trailing data) and hands the document to
// `read`. Syntax errors, nlohmann type errors and ShapeErrors all become
// `factory(context + ": " + reason)`.
template <typename Read>
auto decode(std::string_view text, ErrorFactory factory, std::string_view context, Read&& read)
    -> decltype(read(std::declval<const nlohmann::json&>())) {
  try {
    auto document = nlohmann::json::parse(text.begin(), text.end());
    return read(static_cast<const nlohmann::json&>(document));
  } catch (const nlohmann::json::exception& e) {
    throw factory(std::string(context) + ": " + e.what());
  } catch (const ShapeError& e) {
    throw factory(std::string(context) + ": " + e.what());
  }
}

// The lines of a JSON-lines text, split at line feeds, empty lines dropped.
std::vector<std::string_view> nonEmptyLines(std::string_view text);

// Compact encoding with sorted keys (one line of a log, a protocol message).
std::string compact(const nlohmann::json& value);

}  // namespace korvelin::jsonio
