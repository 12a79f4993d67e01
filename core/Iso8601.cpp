#include "core/Iso8601.h"

#include <cstdio>

namespace korvelin {

namespace {

// Reads `count` decimal digits at `at`; absent when any is not a digit.
std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

std::string iso8601String(std::chrono::system_clock::time_point date) {
  using namespace std::chrono;
  const auto seconds = floor<std::chrono::seconds>(date);
  const auto day = floor<days>(seconds);
  const year_month_day ymd{day};
  const hh_mm_ss time{seconds - day};
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(ymd.year()),
                unsigned(ymd.month()), unsigned(ymd.day()), int(time.hours().count()),
                int(time.minutes().count()), int(time.seconds().count()));
  return buffer;
}

std::optional<std::chrono::system_clock::time_point> parseIso8601(std::string_view text) {
  using namespace std::chrono;
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' ||
      text[13] != ':' || text[16] != ':')
    return std::nullopt;
  auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
  auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
  const year_month_day ymd{year{*y}, month{static_cast<unsigned>(*mo)},
                           day{static_cast<unsigned>(*d)}};
  if (!ymd.ok()) return std::nullopt;

  minutes offset{0};
  const std::string_view zone = text.substr(19);
  if (zone != "Z") {
    if (zone.size() != 6 || (zone[0] != '+' && zone[0] != '-') || zone[3] != ':')
      return std::nullopt;
    auto oh = digits(zone, 1, 2), om = digits(zone, 4, 2);
    if (!oh || !om || *oh > 23 || *om > 59) return std::nullopt;
    offset = hours{*oh} + minutes{*om};
    if (zone[0] == '-') offset = -offset;
  }
  const auto local = sys_days{ymd} + hours{*h} + minutes{*mi} + seconds{*s};
  return system_clock::time_point{local - offset};
}

}  // namespace korvelin
