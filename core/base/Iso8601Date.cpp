#include "core/base/Iso8601Date.h"

#include <algorithm>
#include <cstdio>

namespace korvelin {

using namespace std::chrono;

namespace {

constexpr sys_seconds kEarliest = sys_days{year{0} / January / 1};
constexpr sys_seconds kLatest =
    sys_days{year{9999} / December / 31} + hours{23} + minutes{59} + seconds{59};

// Reads exactly `count` decimal digits at `offset`.
std::optional<int> digits(std::string_view text, std::size_t offset, std::size_t count) {
  if (offset + count > text.size())
    return std::nullopt;
  int value = 0;
  for (std::size_t i = offset; i < offset + count; ++i) {
    if (text[i] < '0' || text[i] > '9')
      return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::string iso8601String(sys_seconds date) {
  date = std::clamp(date, kEarliest, kLatest);
  const sys_days day = floor<days>(date);
  const year_month_day ymd{day};
  const hh_mm_ss<seconds> time{date - day};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return buffer;
}

std::optional<sys_seconds> parseIso8601(std::string_view text) {
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':')
    return std::nullopt;
  auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s || *h > 23 || *mi > 59 || *s > 59)
    return std::nullopt;
  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)},
                           day{static_cast<unsigned>(*d)}};
  if (!ymd.ok())
    return std::nullopt;

  seconds offset{0};
  std::string_view zone = text.substr(19);
  if (zone != "Z") {
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':')
      return std::nullopt;
    auto oh = digits(zone, 1, 2), om = digits(zone, 4, 2);
    if (!oh || !om || *oh > 23 || *om > 59)
      return std::nullopt;
    offset = hours{*oh} + minutes{*om};
    if (zone[0] == '-')
      offset = -offset;
  }
  // An offset can move a date out of the representable years; such a date
  // could not be written back the way it was read.
  sys_seconds date = sys_days{ymd} + hours{*h} + minutes{*mi} + seconds{*s} - offset;
  if (date < kEarliest || date > kLatest)
    return std::nullopt;
  return date;
}

}  // namespace korvelin
