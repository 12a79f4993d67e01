// The guardian reads two kinds of text from outside: the activation line on
// its standard input and request lines on its control socket; the core reads
// STATUS and READY lines back. None of them may crash or hang their reader.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/CoreError.h"
#include "core/guardian/GuardianProtocol.h"

namespace {
// Seeds in the corpus carry these, so that requests get past the secret.
const std::string kCapability(64, 'a');
const std::string kGeneration = "3f2504e0-4f89-41d3-9a0c-0305e82c3301";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  using namespace korvelin;

  if (auto activation = Activation::decode(text)) {
    // Whatever the guardian accepts, the core's encoding must reproduce.
    if (Activation::decode(activation->encode()) != activation)
      __builtin_trap();
  }
  if (auto request = parseGuardianRequest(text, kCapability, kGeneration)) {
    if ((request->command == GuardianCommand::attach) != request->controller.has_value())
      __builtin_trap();
    if (request->controller &&
        decodeIdentityPayload(encodeIdentityPayload(*request->controller)) != request->controller)
      __builtin_trap();
  }
  try {
    const auto status = GuardianStatus::fromReplyLine(text);
    if (GuardianStatus::fromReplyLine(status.replyLine()) != status)
      __builtin_trap();
  } catch (const KorvelinCoreError&) {
  }
  if (auto pid = parseReadyLine(text); pid && *pid < 2)
    __builtin_trap();
  return 0;
}
