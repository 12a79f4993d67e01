// A stand-in for the Xray executable, for tests and the demo: the same
// command line ("run", "-config", "stdin:"), the configuration read from
// standard input to end-of-file, a SOCKS5 listener without authentication on
// the 127.0.0.1 port of the configuration's SOCKS inbound, and SIGTERM ends
// it. Connections are forwarded directly (there is no VLESS hop): the
// listener is Debian's microsocks, which this program becomes with exec, so
// signals sent to this pid reach the server itself.

#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/platform/FileUtil.h"

namespace {

constexpr const char* kSocksServer = "/usr/bin/microsocks";
constexpr size_t kMaxConfigurationBytes = 1 << 20;

int refuse(const char* reason) {
  std::fprintf(stderr, "standin-xray: %s\n", reason);
  return 2;
}

// The port of the inbound that serves SOCKS on 127.0.0.1, or 0.
int socksPort(const nlohmann::json& configuration) try {
  for (const auto& inbound : configuration.at("inbounds")) {
    if (inbound.value("protocol", "") != "socks" || inbound.value("listen", "") != "127.0.0.1")
      continue;
    const auto port = inbound.value("port", 0);
    if (port > 0 && port < 65536)
      return port;
  }
  return 0;
} catch (const nlohmann::json::exception&) {
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::string_view(argv[1]) != "run" || std::string_view(argv[2]) != "-config" ||
      std::string_view(argv[3]) != "stdin:")
    return refuse("usage: standin-xray run -config stdin:");
  auto text = korvelin::platform::readAllBounded(STDIN_FILENO, kMaxConfigurationBytes);
  if (!text)
    return refuse("cannot read the configuration");
  auto configuration = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  const int port = socksPort(configuration);
  if (port == 0)
    return refuse("no SOCKS inbound on 127.0.0.1 in the configuration");
  const std::string portText = std::to_string(port);
  ::execl(kSocksServer, kSocksServer, "-i", "127.0.0.1", "-p", portText.c_str(),
          static_cast<char*>(nullptr));
  return refuse("cannot run /usr/bin/microsocks");
}
