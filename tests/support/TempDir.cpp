#include "tests/support/TempDir.h"

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace korvelin::testing {

ScopedTempDir::ScopedTempDir(const std::string& parent) {
  std::string pattern = parent + "/korvelin-test-XXXXXX";
  if (!::mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  // Make everything removable first: tests create read-only trees.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

int openDescriptorCount() {
  // Less the descriptor the listing itself holds open.
  const std::filesystem::directory_iterator entries("/proc/self/fd");
  return static_cast<int>(std::distance(entries, std::filesystem::directory_iterator())) - 1;
}

}  // namespace korvelin::testing
