// config.toml is the user's file, edited by hand and by Codex itself. For any
// bytes without our markers, adding the block and taking it out again must
// give exactly those bytes back; anything else must be refused cleanly, and
// the collision check must read any text without crashing.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/codex/CodexMCPConfigBlock.h"

namespace codexmcp = korvelin::codexmcp;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  static const std::string block = codexmcp::managedBlock(
      *korvelin::Uuid::parse("0b9d3e4a-5c6f-4a8b-9c0d-1e2f3a4b5c6d"), 8080, "cap");
  std::string stripped;
  try {
    stripped = codexmcp::removingManagedBlock(bytes);
  } catch (const korvelin::KorvelinCoreError&) {
    return 0;
  }
  const bool hasMarker = bytes.find(codexmcp::kBeginMarker) != std::string_view::npos ||
                         bytes.find(codexmcp::kEndMarker) != std::string_view::npos;
  if (!hasMarker && stripped != bytes)
    std::abort();
  codexmcp::definesManagedServer(stripped);
  codexmcp::summarizeManagedBlock(bytes);
  if (hasMarker)
    return 0;
  const std::string installed = codexmcp::addingManagedBlock(bytes, block);
  if (codexmcp::removingManagedBlock(installed) != bytes)
    std::abort();
  if (!codexmcp::summarizeManagedBlock(installed))
    std::abort();
  return 0;
}
