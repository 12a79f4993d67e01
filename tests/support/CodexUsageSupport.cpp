#include "tests/support/CodexUsageSupport.h"

#include <sys/stat.h>

#include <chrono>
#include <fstream>

#include <nlohmann/json.hpp>

#include "core/base/Iso8601Date.h"

namespace korvelin::testing {

namespace {

// Unsigned (alg "none"), with the claims Codex reads, expiring in 2100.
constexpr const char* kToken =
    "eyJhbGciOiJub25lIiwidHlwIjoiSldUIn0."
    "eyJlbWFpbCI6InVzZXJAZXhhbXBsZS5jb20iLCJleHAiOjQxMDI0NDQ4MDAsImh0dHBzOi8vYXBpLm9wZW5haS5jb20vYX"
    "V0aCI6eyJjaGF0Z3B0X3BsYW5fdHlwZSI6InBsdXMiLCJjaGF0Z3B0X2FjY291bnRfaWQiOiJhY2N0LTEyMyJ9fQ.c2ln";

void writePrivate(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
  ::chmod(path.c_str(), 0600);
}

}  // namespace

UsageBackendMock::UsageBackendMock()
    : server_(
          "",
          [this](const std::string& head) {
            // One request per connection; its head is all that is read.
            const std::string line = head.substr(0, head.find("\r\n"));
            std::lock_guard lock(mutex_);
            requestLines_.push_back(line);
            const bool usage = line.find("/wham/usage ") != std::string::npos;
            const std::string body = usage ? body_ : "";
            return LoopbackHttpsServer::Reply{httpResponse(
                usage ? "200 OK" : "404 Not Found",
                "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                    "\r\n",
                body)};
          },
          false) {
  setUsedPercent(6, 24);
}

void UsageBackendMock::setUsedPercent(int primary, int secondary) {
  const auto window = [](int used, int seconds, int resetAfter, int resetAt) {
    return nlohmann::json{{"used_percent", used},
                          {"limit_window_seconds", seconds},
                          {"reset_after_seconds", resetAfter},
                          {"reset_at", resetAt}};
  };
  const nlohmann::json body = {
      {"plan_type", "plus"},
      {"rate_limit",
       {{"allowed", true},
        {"limit_reached", false},
        {"primary_window", window(primary, 18000, 3600, 1796500000)},
        {"secondary_window", window(secondary, 604800, 86400, 1796900000)}}},
      {"credits", {{"has_credits", true}, {"unlimited", false}, {"balance", "5.39"}}}};
  std::lock_guard lock(mutex_);
  body_ = body.dump();
}

std::vector<std::string> UsageBackendMock::requestLines() const {
  std::lock_guard lock(mutex_);
  return requestLines_;
}

void signInToUsageBackend(const std::string& codexHome, const std::string& baseURL) {
  const nlohmann::json auth = {
      {"OPENAI_API_KEY", nullptr},
      {"tokens",
       {{"id_token", kToken},
        {"access_token", kToken},
        {"refresh_token", "rt"},
        {"account_id", "acct-123"}}},
      {"last_refresh",
       iso8601String(std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now()))}};
  writePrivate(codexHome + "/auth.json", auth.dump());
  writePrivate(codexHome + "/config.toml", "chatgpt_base_url = \"" + baseURL + "\"\n");
}

std::string describe(CodexUsageEventStream& stream,
                     std::chrono::milliseconds timeout,
                     std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string words;
  const auto add = [&](const std::string& word) { words += (words.empty() ? "" : " ") + word; };
  for (std::size_t seen = 0; seen < count;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0)
      break;
    const auto event = stream.next(left);
    if (!event && stream.ended()) {
      add("end");
      break;
    }
    if (!event)
      continue;
    ++seen;
    using Kind = CodexUsageMonitorEvent::Kind;
    std::string word(rawValue(event->kind));
    if (event->kind == Kind::snapshot) {
      const auto percent = event->snapshot->canonicalRemainingPercent();
      word += ":" + (percent ? std::to_string(*percent) : std::string("-"));
    } else if (event->kind == Kind::unavailable) {
      word += ":" + std::string(rawValue(*event->reason));
    }
    add(word);
  }
  return words;
}

}  // namespace korvelin::testing
