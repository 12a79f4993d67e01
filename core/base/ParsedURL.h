#pragma once

// A URL read with libcurl's URL API. Only its parts are looked at: whoever
// passes a URL on passes the original text, never a re-serialised form.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace korvelin {

class ParsedURL {
 public:
  enum class Part { scheme, user, password, host, port, path, query, fragment };

  // Absent when libcurl refuses the text: no scheme, white space or control
  // characters, a malformed authority. Any scheme is accepted.
  static std::optional<ParsedURL> parse(std::string_view text);

  // The part as written (the scheme lower-cased), or absent when the URL
  // has none. `decoded` undoes percent escapes.
  std::optional<std::string> part(Part part, bool decoded = false) const;
  // A part that is present and not empty.
  bool has(Part part) const;
  // Present at all, even empty ("https://@host" has a user).
  bool carries(Part part) const { return this->part(part).has_value(); }

 private:
  struct Handle;
  explicit ParsedURL(std::shared_ptr<Handle> handle) : handle_(std::move(handle)) {}
  std::shared_ptr<Handle> handle_;
};

}  // namespace korvelin
