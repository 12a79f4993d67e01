#pragma once

// Command-line arguments a user adds to a profile. They follow the system's
// own arguments, so options that would move the profile's data, change its
// proxy, open a debugging port or switch off a sandbox are refused.

#include <cstddef>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace korvelin::ProfileLaunchArguments {

// An imported arguments file may hold at most this many bytes.
inline constexpr std::size_t kMaximumImportBytes = 1048576;

// Option names the system manages, compared after the leading dashes are
// removed and the rest is lower-cased.
extern const std::set<std::string, std::less<>> reservedOptionNames;
// Every option name starting with one of these is managed as well.
extern const std::vector<std::string_view> reservedOptionPrefixes;

// Throws invalidLaunchArguments with the first broken rule: empty or NUL, a
// "--" separator, a managed option. Text not starting with "-" is a value and
// always accepted.
void validate(const std::vector<std::string>& arguments);

// Reads an argument list from imported text, then validates it. The text must
// be UTF-8; a leading byte-order mark is dropped. With `json`, the text is a
// JSON array of strings; otherwise every non-empty line (LF, CR LF or CR) is
// one argument, exactly as written. Throws invalidLaunchArguments.
std::vector<std::string> parse(std::string_view text, bool json);

// Reads the file at `path` (at most 1 MiB; a final symbolic link, a directory
// or a FIFO is unreadable) and parses it, as JSON when the file name's
// extension is "json". Throws invalidLaunchArguments.
std::vector<std::string> importFile(const std::string& path);

}  // namespace korvelin::ProfileLaunchArguments
