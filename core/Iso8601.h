#pragma once

// Dates in durable JSON documents: ISO 8601 in whole seconds with a time-zone
// designator, for example "2026-01-05T10:20:30Z".

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

// UTC with "Z"; the fraction of a second is dropped (rounded toward the past).
std::string iso8601String(std::chrono::system_clock::time_point date);

// "YYYY-MM-DDTHH:MM:SS" followed by "Z" or a "+HH:MM"/"-HH:MM" offset; absent
// for anything else, including fractions and out-of-range fields.
std::optional<std::chrono::system_clock::time_point> parseIso8601(std::string_view text);

}  // namespace korvelin
