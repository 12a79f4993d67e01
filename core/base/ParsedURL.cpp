#include "core/base/ParsedURL.h"

#include <curl/curl.h>

namespace korvelin {

struct ParsedURL::Handle {
  CURLU* url = curl_url();
  ~Handle() { curl_url_cleanup(url); }
};

std::optional<ParsedURL> ParsedURL::parse(std::string_view text) {
  if (text.find('\0') != std::string_view::npos)
    return std::nullopt;
  auto handle = std::make_shared<Handle>();
  if (!handle->url || curl_url_set(handle->url, CURLUPART_URL, std::string(text).c_str(),
                                   CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
    return std::nullopt;
  return ParsedURL(std::move(handle));
}

std::optional<std::string> ParsedURL::part(Part part, bool decoded) const {
  static constexpr CURLUPart kParts[] = {CURLUPART_SCHEME, CURLUPART_USER,    CURLUPART_PASSWORD,
                                         CURLUPART_HOST,   CURLUPART_PORT,    CURLUPART_PATH,
                                         CURLUPART_QUERY,  CURLUPART_FRAGMENT};
  char* value = nullptr;
  const auto status = curl_url_get(handle_->url, kParts[static_cast<int>(part)], &value,
                                   decoded ? CURLU_URLDECODE : 0);
  std::optional<std::string> text;
  if (status == CURLUE_OK && value)
    text = value;
  curl_free(value);
  return text;
}

bool ParsedURL::has(Part part) const {
  const auto text = this->part(part);
  return text && !text->empty();
}

}  // namespace korvelin
