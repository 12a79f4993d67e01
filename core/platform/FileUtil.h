#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin::platform {

// Reads until `size` bytes arrived or end of file. Returns the number of bytes
// read, or -1 with errno set.
long readFull(int fd, void* buffer, size_t size);

// The same with positioned reads from `offset`, leaving the file offset alone.
long preadFull(int fd, void* buffer, size_t size, long long offset);

// Writes all of `data`, retrying short writes. Returns false with errno set.
bool writeFull(int fd, std::string_view data);

// Reads a whole file that is expected to be small (kernel pseudo-files,
// lines of state). Fails when it cannot be opened or holds more than
// `maxBytes`. Opens without following a final symbolic link.
std::optional<std::string> readSmallFile(const std::string& path, size_t maxBytes);

// Reads everything from `fd` up to `maxBytes`; absent when more is available
// or a read fails.
std::optional<std::string> readAllBounded(int fd, size_t maxBytes);

// How `readRegularFileBounded` ended.
enum class BoundedReadStatus { ok, unreadable, tooLarge };

// Reads a whole regular file that a user picked (an import). Refuses a final
// symbolic link, and anything but a regular file, so that a FIFO or device
// cannot block or feed the reader forever. `tooLarge` when the file holds more
// than `maxBytes` bytes; `content` is filled only on `ok`.
BoundedReadStatus readRegularFileBounded(const std::string& path,
                                         size_t maxBytes,
                                         std::string& content);

// The system's text for an errno value ("No such file or directory").
std::string errorText(int errnum);

}  // namespace korvelin::platform
