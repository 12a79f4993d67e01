// korvelin vless check LINK [--json] [--port N]
//
// LINK may be "-" to read it from standard input, so that a link (which
// carries the user's credentials) need not appear in the shell history or in
// the process list.

#include <unistd.h>

#include <iostream>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/base/CoreError.h"
#include "core/platform/FileUtil.h"
#include "core/proxy/VLESSConnection.h"

namespace korvelin::cli {
namespace {

struct CheckOptions {
  std::string link;
  bool json = false;
  std::optional<std::uint16_t> port;
};

std::string endpoint(const VLESSRealityConfiguration& configuration) {
  const bool ipv6 = configuration.host.find(':') != std::string::npos;
  return (ipv6 ? "[" + configuration.host + "]" : configuration.host) + ":" +
         std::to_string(configuration.port);
}

// What a person needs to recognise the connection. The user id and the short
// id authenticate the user to the server and are left out; `--json` has them.
void printSummary(const VLESSRealityConfiguration& configuration) {
  auto line = [](const char* label, std::string_view value) {
    printRows({{label, std::string(value)}}, 15);
  };
  line("transport", displayName(configuration.transport));
  line("server", endpoint(configuration));
  line("security", rawValue(configuration.security));
  line("server name", configuration.serverName);
  line("fingerprint", configuration.fingerprint);
  if (configuration.serviceName)
    line("service name", *configuration.serviceName);
  if (configuration.authority)
    line("authority", *configuration.authority);
  if (configuration.alpn)
    line("alpn", *configuration.alpn);
  if (configuration.publicKey)
    line("public key", *configuration.publicKey);
  if (configuration.shortID)
    line("short id", text("set (not shown)"));
  // The spider path is the one field that may hold control characters once
  // decoded; quoting it as a JSON string keeps them off the terminal.
  if (configuration.spiderX)
    line("spider x", nlohmann::json(*configuration.spiderX).dump());
  if (configuration.mldsa65Verify)
    line("ML-DSA-65 key", text("set"));
  line("user id", text("set (not shown)"));
}

int runCheck(const CheckOptions& options, const std::vector<std::string>& extras) {
  // Never echo the command line back: a second argument may be a link too.
  if (!extras.empty())
    return fail("vless check takes one LINK and the options --json or --port N", kExitUsage);
  std::optional<std::string> link = options.link;
  if (options.link == "-")
    link = readLinkFromStandardInput();
  if (!link)
    return failComposed(KorvelinCoreError::invalidVLESSConfiguration().errorDescription());

  const VLESSRealityConfiguration configuration(*link);
  if (options.port) {
    std::cout << configuration.xrayJSON(*options.port) << std::flush;
  } else if (options.json) {
    printJson(configuration);
  } else {
    printSummary(configuration);
  }
  return kExitSuccess;
}

const Registration kRegistration{
    {"vless", "Work with VLESS share links", [](CLI::App& command, const GlobalOptions&) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<CheckOptions>();
       CLI::App* check = command.add_subcommand(
           "check", text("Validate a VLESS link and show the configuration it gives"));
       check->allow_extras();
       check
           ->add_option("LINK", options->link,
                        text("The vless:// link, or - to read it from standard input"))
           ->required();
       auto* json = check->add_flag("--json", options->json,
                                    text("Print the configuration as one JSON object"));
       check
           ->add_option("--port", options->port,
                        text("Print the Xray configuration for this loopback SOCKS port instead"))
           ->check(CLI::Range(1, 65535))
           ->excludes(json);
       return [options, check] { return runCheck(*options, check->remaining()); };
     }}};

}  // namespace
}  // namespace korvelin::cli
