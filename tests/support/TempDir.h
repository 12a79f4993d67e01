#pragma once

#include <string>

namespace korvelin::testing {

// A fresh private directory under /tmp (or `parent`), removed with its
// contents (without following links) when the object goes out of scope.
class ScopedTempDir {
 public:
  explicit ScopedTempDir(const std::string& parent = "/tmp");
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string child(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Number of descriptors open in this process (entries of /proc/self/fd).
int openDescriptorCount();

}  // namespace korvelin::testing
