#pragma once

// Lexical handling of file-system paths. Nothing here touches the disk
// except `standardizedPath`, which reads the working directory for a
// relative path, and `resolvedPath`.

#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

// An absolute path with "." and empty components removed and ".." applied
// lexically, without a trailing "/" (except the root itself). A relative
// path is taken relative to the working directory first.
std::string standardizedPath(std::string_view path);

// The absolute path with every symbolic link resolved (realpath); absent when
// it cannot be resolved.
std::optional<std::string> resolvedPath(const std::string& path);

// `directory` + "/" + `name`, for an absolute directory and a single name.
std::string appendingPathComponent(std::string_view directory, std::string_view name);

// The standardized path without its last component ("/" stays "/").
std::string deletingLastPathComponent(std::string_view path);

// "file://" + the percent-encoded absolute path; `directory` adds a trailing
// "/" so that the form is stable whether or not the directory exists.
std::string fileURLString(std::string_view absolutePath, bool directory);

// The path of a "file://" URL (empty host, or "localhost"), percent-decoded
// and standardized; absent for anything else, for encoded "/" or NUL bytes.
std::optional<std::string> pathFromFileURL(std::string_view url);

}  // namespace korvelin
