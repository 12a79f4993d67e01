#include "tests/support/FileTreeHelpers.h"

#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/ThrownError.h"

namespace korvelin::testing {

void makeDirectory(const std::string& path, mode_t mode) {
  ASSERT_EQ(::mkdir(path.c_str(), 0700), 0) << path;
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

void makeFile(const std::string& path, mode_t mode, const std::string& content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  ::close(fd);
  ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

void makeSymlink(const std::string& target, const std::string& path) {
  ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
}

mode_t modeOf(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0)
    return 0;
  return info.st_mode & 07777;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

void setfacl(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {"/usr/bin/setfacl"};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  auto result = run(argv);
  ASSERT_EQ(result.exitCode, 0) << result.errors;
}

KorvelinCoreError expectCoreError(const std::function<void()>& operation) {
  const int before = openDescriptorCount();
  const auto error = thrownError(operation);
  EXPECT_EQ(openDescriptorCount(), before)
      << "descriptor leaked by: " << (error ? error->what() : "");
  if (!error)
    ADD_FAILURE() << "no KorvelinCoreError was thrown";
  return error.value_or(KorvelinCoreError::installationChanged());
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace korvelin::testing
