#pragma once

#include <string>
#include <string_view>

namespace korvelin {

// Removes the directory `name` inside the open directory `parentFD` and
// everything below it, reaching each entry through its parent's descriptor.
// No symbolic link is ever followed: a link is removed as the entry it is,
// its target stays untouched. Directories the owner cannot write or read
// (0500, 0000) are made 0700 first, without following a link. Returns 0, or
// the errno of the first step that failed with `failedPath` naming the entry
// (relative to the parent); what was removed until then stays removed.
int removeDirectoryTree(int parentFD, std::string_view name, std::string& failedPath);

}  // namespace korvelin
