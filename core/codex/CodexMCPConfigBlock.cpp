#include "core/codex/CodexMCPConfigBlock.h"

#include <charconv>

#include "core/base/CoreError.h"
#include "core/text/Utf8.h"

namespace korvelin::codexmcp {

namespace {

std::size_t countOf(std::string_view text, std::string_view needle) {
  std::size_t count = 0;
  for (auto at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size()))
    ++count;
  return count;
}

}  // namespace

bool isValidCapability(std::string_view capability) {
  if (capability.empty() || capability.size() > kMaxCapabilityBytes)
    return false;
  for (unsigned char c : capability) {
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (!alnum && std::string_view("._~+/=-").find(static_cast<char>(c)) == std::string_view::npos)
      return false;
  }
  return true;
}

std::string managedBlock(const Uuid& generation, std::uint16_t port, std::string_view capability) {
  std::string block;
  block += kBeginMarker;
  block += "\n# generation = " + generation.lowercaseString() + "\n";
  block += kServerTable;
  block += "\nurl = \"http://127.0.0.1:" + std::to_string(port) + "/mcp\"\n";
  block += "http_headers = { \"";
  block += kCapabilityHeader;
  block += "\" = \"";
  block += capability;
  block += "\" }\nrequired = true\ndefault_tools_approval_mode = \"writes\"\n";
  block += kEndMarker;
  return block;
}

std::string addingManagedBlock(std::string_view stripped, std::string_view block) {
  std::string result;
  result.reserve(stripped.size() + block.size() + 2);
  result += stripped;
  result += '\n';
  result += block;
  result += '\n';
  return result;
}

std::string removingManagedBlock(std::string_view bytes) {
  const auto fail = &KorvelinCoreError::youTrackMCPConfigurationFailed;
  if (bytes.size() > kMaxConfigBytes)
    throw fail("config exceeds 1 MiB");
  if (!isValidUtf8(bytes))
    throw fail("config is not UTF-8");
  const std::size_t begins = countOf(bytes, kBeginMarker);
  const std::size_t ends = countOf(bytes, kEndMarker);
  if (begins != ends || begins > 1)
    throw fail("invalid managed markers");
  if (begins == 0)
    return std::string(bytes);
  std::size_t from = bytes.find(kBeginMarker);
  std::size_t to = bytes.find(kEndMarker);
  if (from > to)
    throw fail("invalid managed marker order");
  to += kEndMarker.size();
  if (from > 0 && bytes[from - 1] == '\n')
    --from;
  if (to < bytes.size() && bytes[to] == '\n')
    ++to;
  std::string result(bytes.substr(0, from));
  result += bytes.substr(to);
  return result;
}

std::optional<ManagedBlockSummary> summarizeManagedBlock(std::string_view bytes) {
  const auto from = bytes.find(kBeginMarker);
  const auto to = bytes.find(kEndMarker);
  if (from == std::string_view::npos || to == std::string_view::npos || to < from)
    return std::nullopt;
  const std::string_view block = bytes.substr(from, to - from);
  ManagedBlockSummary summary;
  constexpr std::string_view kGeneration = "\n# generation = ";
  if (auto at = block.find(kGeneration); at != std::string_view::npos)
    summary.generation = Uuid::parse(block.substr(at + kGeneration.size(), 36));
  constexpr std::string_view kUrl = "\nurl = \"http://127.0.0.1:";
  if (auto at = block.find(kUrl); at != std::string_view::npos) {
    const char* first = block.data() + at + kUrl.size();
    std::uint16_t port = 0;
    auto [end, error] = std::from_chars(first, block.data() + block.size(), port);
    if (error == std::errc() &&
        std::string_view(end, block.data() + block.size() - end).starts_with("/mcp\""))
      summary.port = port;
  }
  return summary;
}

// TOML spells a key in many ways ([a.b], [ a . "b" ], a.b.c = 1, a = { b = ...
// }) and quoted keys may escape any letter (\u005F, \U0000005F, and \x5F in
// TOML 1.1). Rather than parse every spelling, the text is searched for the
// name after every such escape is decoded, wherever it stands: a comment or a
// value that merely mentions the name counts too, which refuses more than
// needed but can never miss a real definition.
bool definesManagedServer(std::string_view text) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const std::size_t digits = c != '\\' || i + 1 >= text.size() ? 0
                               : text[i + 1] == 'u'              ? 4
                               : text[i + 1] == 'U'              ? 8
                               : text[i + 1] == 'x'              ? 2
                                                                 : 0;
    std::uint32_t codePoint = 0;
    if (digits > 0 && i + 2 + digits <= text.size()) {
      auto [end, error] =
          std::from_chars(text.data() + i + 2, text.data() + i + 2 + digits, codePoint, 16);
      if (error == std::errc() && end == text.data() + i + 2 + digits && codePoint < 0x80) {
        decoded += static_cast<char>(codePoint);
        i += 1 + digits;
        continue;
      }
    }
    decoded += c;
  }
  return decoded.find(kServerName) != std::string::npos;
}

}  // namespace korvelin::codexmcp
