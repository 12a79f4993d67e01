#include "core/files/FilePath.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include <memory>
#include <vector>

#include "core/base/HexCoding.h"

namespace korvelin {

namespace {

std::string workingDirectory() {
  std::string buffer(4096, '\0');
  while (!::getcwd(buffer.data(), buffer.size())) {
    if (errno != ERANGE)
      return "/";
    buffer.resize(buffer.size() * 2);
  }
  buffer.resize(buffer.find('\0'));
  return buffer;
}

bool isUnreservedInPath(unsigned char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
    return true;
  return std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) !=
         std::string_view::npos;
}

}  // namespace

std::string standardizedPath(std::string_view path) {
  std::string absolute;
  if (path.empty() || path.front() != '/') {
    absolute = workingDirectory();
    absolute += '/';
  }
  absolute += path;

  std::vector<std::string_view> components;
  std::string_view rest = absolute;
  while (!rest.empty()) {
    auto slash = rest.find('/');
    std::string_view component = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (component.empty() || component == ".")
      continue;
    if (component == "..") {
      if (!components.empty())
        components.pop_back();
      continue;
    }
    components.push_back(component);
  }
  if (components.empty())
    return "/";
  std::string result;
  for (auto component : components) {
    result += '/';
    result += component;
  }
  return result;
}

std::string appendingPathComponent(std::string_view directory, std::string_view name) {
  std::string result(directory);
  if (result.empty() || result.back() != '/')
    result += '/';
  result += name;
  return result;
}

std::string deletingLastPathComponent(std::string_view path) {
  std::string standardized = standardizedPath(path);
  auto slash = standardized.rfind('/');
  return slash == 0 ? "/" : standardized.substr(0, slash);
}

std::string fileURLString(std::string_view absolutePath, bool directory) {
  std::string result = "file://" + percentEncoded(absolutePath, isUnreservedInPath);
  if (directory && result.back() != '/')
    result += '/';
  return result;
}

std::optional<std::string> pathFromFileURL(std::string_view url) {
  for (std::string_view prefix : {"file://localhost/", "file:///"}) {
    if (url.substr(0, prefix.size()) != prefix)
      continue;
    const std::string_view encoded = url.substr(prefix.size() - 1);
    // A query, a fragment or any other byte outside the path's characters
    // is refused; so is an encoded separator or NUL, which would change what
    // the path names.
    for (char c : encoded)
      if (c != '%' && !isUnreservedInPath(static_cast<unsigned char>(c)))
        return std::nullopt;
    const auto path = percentDecoded(encoded, std::string_view("/\0", 2));
    if (!path)
      return std::nullopt;
    return standardizedPath(*path);
  }
  return std::nullopt;
}

std::optional<std::string> resolvedPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                       &std::free);
  if (!resolved)
    return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace korvelin
