#pragma once

// Dates of durable documents (profiles, saved connections): ISO 8601 in
// whole seconds with a time-zone designator, as in 2026-01-05T10:20:30Z.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

// UTC with "Z". Years outside 0000...9999 are not representable in the form
// and are clamped to its ends.
std::string iso8601String(std::chrono::sys_seconds date);

// Accepts "YYYY-MM-DDTHH:MM:SS" followed by "Z" or a "+HH:MM" / "-HH:MM"
// offset; nothing else (no fractions, no lower-case separators), and only
// dates that fall within the years 0000...9999 in UTC.
std::optional<std::chrono::sys_seconds> parseIso8601(std::string_view text);

}  // namespace korvelin
