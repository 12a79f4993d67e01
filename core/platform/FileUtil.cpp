#include "core/platform/FileUtil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "core/platform/Eintr.h"
#include "core/platform/ScopedFD.h"

namespace korvelin::platform {

namespace {

// Repeats `read(done)`, which reads into the buffer at offset `done`, until
// `size` bytes are in, the end comes first (the count so far) or a read
// fails (-1).
template <typename Read>
long readRepeatedly(size_t size, Read read) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = retryOnEintr([&] { return read(done); });
    if (n < 0)
      return -1;
    if (n == 0)
      break;
    done += static_cast<size_t>(n);
  }
  return static_cast<long>(done);
}

}  // namespace

long readFull(int fd, void* buffer, size_t size) {
  auto* out = static_cast<char*>(buffer);
  return readRepeatedly(size, [&](size_t done) { return ::read(fd, out + done, size - done); });
}

long preadFull(int fd, void* buffer, size_t size, long long offset) {
  auto* out = static_cast<char*>(buffer);
  return readRepeatedly(size, [&](size_t done) {
    return ::pread(fd, out + done, size - done,
                   static_cast<off_t>(offset + static_cast<long long>(done)));
  });
}

bool writeFull(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = retryOnEintr([&] { return ::write(fd, data.data(), data.size()); });
    if (n < 0)
      return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::optional<std::string> readAllBounded(int fd, size_t maxBytes) {
  std::string content;
  char chunk[4096];
  for (;;) {
    ssize_t n = retryOnEintr([&] { return ::read(fd, chunk, sizeof chunk); });
    if (n < 0)
      return std::nullopt;
    if (n == 0)
      return content;
    if (content.size() + static_cast<size_t>(n) > maxBytes)
      return std::nullopt;
    content.append(chunk, static_cast<size_t>(n));
  }
}

std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes) {
  ScopedFD fd(
      retryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW); }));
  if (!fd)
    return std::nullopt;
  return readAllBounded(fd.get(), maxBytes);
}

BoundedReadStatus readRegularFileBounded(const std::string& path,
                                         size_t maxBytes,
                                         std::string& content) {
  // O_NONBLOCK keeps the open itself from waiting for a FIFO's writer; it has
  // no effect on reading a regular file.
  ScopedFD fd(retryOnEintr(
      [&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
  if (!fd)
    return BoundedReadStatus::unreadable;
  struct stat status;
  if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
    return BoundedReadStatus::unreadable;
  // One byte beyond the limit tells "exactly the limit" from "more".
  std::string buffer(maxBytes + 1, '\0');
  const long count = readFull(fd.get(), buffer.data(), buffer.size());
  if (count < 0)
    return BoundedReadStatus::unreadable;
  if (static_cast<size_t>(count) > maxBytes)
    return BoundedReadStatus::tooLarge;
  buffer.resize(static_cast<size_t>(count));
  content = std::move(buffer);
  return BoundedReadStatus::ok;
}

namespace {
// strerror_r has two signatures: GNU returns the text (possibly a static
// string), XSI fills the buffer and returns a status. Overloading on the
// result picks the right reading without a preprocessor branch.
[[maybe_unused]] inline std::string strerrorResult(const char* text, const char*, int) {
  return text;
}
[[maybe_unused]] inline std::string strerrorResult(int status, const char* buffer, int errnum) {
  return status == 0 ? std::string(buffer) : "Unknown error " + std::to_string(errnum);
}
}  // namespace

std::string errorText(int errnum) {
  char buffer[256] = {};
  return strerrorResult(::strerror_r(errnum, buffer, sizeof buffer), buffer, errnum);
}

}  // namespace korvelin::platform
