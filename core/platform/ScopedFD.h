#pragma once

namespace korvelin::platform {

// Owns one file descriptor and closes it when it goes out of scope. Every
// descriptor the library opens lives in one of these from the moment it is
// returned by the kernel, so no error path can leak it.
class ScopedFD {
 public:
  ScopedFD() noexcept = default;
  explicit ScopedFD(int fd) noexcept : fd_(fd) {}
  ~ScopedFD() { reset(); }

  ScopedFD(ScopedFD&& other) noexcept : fd_(other.release()) {}
  ScopedFD& operator=(ScopedFD&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  ScopedFD(const ScopedFD&) = delete;
  ScopedFD& operator=(const ScopedFD&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the owned descriptor (if any) and takes `fd`.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

}  // namespace korvelin::platform
