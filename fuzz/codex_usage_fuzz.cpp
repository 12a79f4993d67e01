// The Codex app-server's lines are read as they come from a child process.
// Whatever the line, reading it either fails with the protocol error or
// yields a snapshot that keeps the model's promises: bucket identifiers not
// empty and in order, every window's used share within 0...100 and every
// duration at least 1, names and accounts never empty.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/codex/CodexUsage.h"

namespace {

using namespace korvelin;

void check(const CodexUsageWindow& window) {
  if (window.usedPercent < 0 || window.usedPercent > 100 ||
      (window.windowDurationMinutes && *window.windowDurationMinutes < 1))
    __builtin_trap();
}

void check(const CodexUsageSnapshot& snapshot) {
  if (snapshot.accountIdentifier && snapshot.accountIdentifier->empty())
    __builtin_trap();
  if (!std::is_sorted(snapshot.buckets.begin(), snapshot.buckets.end(),
                      [](const auto& a, const auto& b) { return a.id < b.id; }))
    __builtin_trap();
  for (const auto& bucket : snapshot.buckets) {
    if (bucket.id.empty() || (bucket.name && bucket.name->empty()))
      __builtin_trap();
    if (bucket.primary)
      check(*bucket.primary);
    if (bucket.secondary)
      check(*bucket.secondary);
  }
  if (snapshot.threadContext && (snapshot.threadContext->totalTokens < 0 ||
                                 (snapshot.threadContext->modelContextWindow &&
                                  *snapshot.threadContext->modelContextWindow < 1)))
    __builtin_trap();
}

template <typename Read>
void attempt(Read&& read) {
  try {
    check(read());
  } catch (const KorvelinCoreError& e) {
    if (e.errorCase() != KorvelinCoreError::Case::codexUsageProtocolFailed)
      __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  static const CodexUsageSnapshot base(
      "acct", {{"codex", "Codex", CodexUsageWindow{40, 300, 100}, std::nullopt}}, std::nullopt, 1);
  attempt([&] { return CodexUsageMessageParser::parseRateLimitsResponse(line, 2); });
  attempt([&] { return CodexUsageMessageParser::mergeNotification(line, base, 2); });
  return 0;
}
