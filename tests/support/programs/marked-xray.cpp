// marked-xray MARK CERTIFICATE|- XRAY ARGUMENT...
//
// Stands where a test's engine would: reads the configuration from standard
// input, and, when given a certificate, makes this copy of it alone trust
// that certificate in the outbound's TLS handshake (a test server's
// certificate is self-signed). Then becomes XRAY with the configuration back
// on standard input and MARK as its name, so that a test can find every
// engine it started, and only those, in the process table.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fputs("usage: marked-xray MARK CERTIFICATE|- XRAY ARGUMENT...\n", stderr);
    return 2;
  }
  auto configuration = korvelin::platform::readAllBounded(STDIN_FILENO, 1 << 20);
  if (!configuration)
    return 1;
  std::string text = *configuration;
  if (std::string(argv[2]) != "-") {
    auto amended = nlohmann::json::parse(text, nullptr, false);
    if (amended.is_discarded())
      return 1;
    amended["outbounds"][0]["streamSettings"]["tlsSettings"]["certificates"] =
        nlohmann::json::array({{{"usage", "verify"}, {"certificateFile", argv[2]}}});
    text = amended.dump();
  }
  korvelin::platform::ScopedFD copy(::memfd_create("configuration", 0));
  if (!copy || !korvelin::platform::writeFull(copy.get(), text) ||
      ::lseek(copy.get(), 0, SEEK_SET) != 0 || ::dup2(copy.get(), STDIN_FILENO) != STDIN_FILENO)
    return 1;
  std::vector<char*> arguments{argv[1]};
  for (int i = 4; i < argc; ++i)
    arguments.push_back(argv[i]);
  arguments.push_back(nullptr);
  ::execv(argv[3], arguments.data());
  return 127;
}
