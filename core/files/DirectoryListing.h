#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvelin {

// The names of the entries of an open directory, "." and ".." left out, in
// the order the system lists them. The listing reads through a descriptor of
// its own from the start, whatever `directory` read before, and leaves
// `directory` open. Absent (errno set) when the directory could not be read
// whole.
std::optional<std::vector<std::string>> entryNames(int directory);

}  // namespace korvelin
