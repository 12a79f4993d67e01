#include "core/update/AppUpdateClient.h"

#include <curl/curl.h>

#include <memory>

#include "core/platform/ScopedSigpipeBlock.h"
#include "core/update/AppUpdateManifest.h"

namespace korvelin {

namespace {

struct Body {
  std::string bytes;
  bool tooLarge = false;
};

// Stops the transfer as soon as the body would pass the limit, whether or not
// the server announced a length (chunked and close-delimited bodies too).
size_t collect(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<Body*>(user);
  const size_t length = size * count;
  if (body->bytes.size() + length > kAppUpdateManifestLimit) {
    body->tooLarge = true;
    return 0;  // libcurl ends the transfer with a write error
  }
  body->bytes.append(data, length);
  return length;
}

[[noreturn]] void transport() {
  throw AppUpdateError(AppUpdateError::Case::transport);
}

}  // namespace

std::string AppUpdateHTTPClient::fetch(std::string_view url) {
  if (!isSafeUpdateURL(url))
    transport();
  [[maybe_unused]] static const bool initialized =
      curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl)
    transport();
  const std::string requested(url);
  Body body;
  CURL* handle = curl.get();
  bool configured =
      curl_easy_setopt(handle, CURLOPT_URL, requested.c_str()) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "https") == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
      // An empty proxy switches proxies off, including those named by
      // https_proxy, HTTPS_PROXY and ALL_PROXY, which libcurl honours otherwise.
      curl_easy_setopt(handle, CURLOPT_PROXY, "") == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(options_.deadline.count())) ==
          CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                       static_cast<curl_off_t>(kAppUpdateManifestLimit)) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_FRESH_CONNECT, 1L) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_HTTPHEADER, nullptr) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &collect) == CURLE_OK &&
      curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body) == CURLE_OK;
  if (options_.certificateAuthorities)
    configured =
        configured && curl_easy_setopt(handle, CURLOPT_CAINFO,
                                       options_.certificateAuthorities->c_str()) == CURLE_OK;
  bool performed = false;
  if (configured) {
    // With CURLOPT_NOSIGNAL libcurl leaves SIGPIPE alone, and a TLS write to a
    // feed that closed early would otherwise end the host.
    platform::ScopedSigpipeBlock noSigpipe;
    performed = curl_easy_perform(handle) == CURLE_OK;
  }
  if (!performed || body.tooLarge)
    transport();

  long status = 0;
  char* effective = nullptr;
  if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200 ||
      curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &effective) != CURLE_OK || !effective ||
      requested != effective)
    transport();
  return std::move(body.bytes);
}

}  // namespace korvelin
