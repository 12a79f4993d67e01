// korvelin update check --feed URL --public-key BASE64 --app-id ID [--ca-file PEM] [--timeout S]
// [--json] korvelin update verify FILE|- --public-key BASE64 --app-id ID [--now T]
// [--system-version V] [--json]
//
// The release manifest, downloaded from the feed or read from a file, shown
// only once its signature and every rule of it hold.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>

#include <nlohmann/json.hpp>

#include "cli/Command.h"
#include "core/base/Base64.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
#include "core/update/AppUpdateClient.h"
#include "core/update/AppUpdateManifest.h"

namespace korvelin::cli {
namespace {

struct UpdateOptions {
  std::string feed;
  std::string file;
  std::string publicKey;
  std::string applicationID;
  std::optional<std::string> caFile;
  double timeout = 30;
  std::optional<double> now;
  std::optional<std::string> systemVersion;
  bool json = false;
};

// The error's own sentence, in the output language.
Message describe(const AppUpdateError& error) {
  switch (error.errorCase()) {
    case AppUpdateError::Case::invalidConfiguration:
      return "The update feed configuration is invalid.";
    case AppUpdateError::Case::invalidManifest:
      return "The update manifest is invalid.";
    case AppUpdateError::Case::invalidSignature:
      return "The update manifest signature is invalid.";
    case AppUpdateError::Case::transport:
      return "The update feed could not be downloaded.";
  }
  return "Unknown error";
}

int reportFailure(const AppUpdateError& error, bool json) {
  if (json)
    printJson({{"error", error.code()}});
  return fail(
      {"Update check failed: {0}", {text(describe(error))}},
      error.errorCase() == AppUpdateError::Case::invalidConfiguration ? kExitUsage : kExitFailure);
}

void printRelease(const AppUpdateRelease& release, bool json) {
  if (json) {
    printJson(release);
    return;
  }
  const bool newer = compareNumericVersions(release.version, KORVELIN_VERSION) > 0;
  say(newer ? Message{"Korvelin {0} is available", {release.version}}
            : Message("You are up to date."));
  printRows({{"version", release.version + " (" + std::to_string(release.build) + ")"},
             {"published", localDateText(release.publishedAt)},
             {"expires", localDateText(release.expiresAt)},
             {"minimum system", release.minimumSystemVersion},
             {"download", release.downloadURL},
             {"size", std::to_string(release.size)},
             {"sha256", release.sha256}},
            16);
  if (!release.notes.empty()) {
    say("notes:");
    printLines(release.notes);
  }
}

AppUpdateConfiguration configuration(const UpdateOptions& options, const std::string& feed) {
  auto key = base64Decode(options.publicKey);
  return AppUpdateConfiguration(feed, key ? *key : std::string());
}

double currentTime() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int runCheck(const UpdateOptions& options) {
  try {
    if (!(options.timeout > 0 && options.timeout <= 600))
      return fail("--timeout must be more than 0 and at most 600 seconds", kExitUsage);
    const auto config = configuration(options, options.feed);
    AppUpdateHTTPClient client(
        {std::chrono::milliseconds(static_cast<long>(options.timeout * 1000)), options.caFile});
    const std::string data = client.fetch(config.feedURL);
    printRelease(AppUpdateRelease::authenticate(data, config, options.applicationID, currentTime(),
                                                options.systemVersion),
                 options.json);
    return kExitSuccess;
  } catch (const AppUpdateError& error) {
    return reportFailure(error, options.json);
  }
}

int runVerify(const UpdateOptions& options) {
  try {
    // The feed address plays no part in checking a file; any safe one will do.
    const auto config = configuration(options, "https://localhost/feed");
    std::optional<std::string> data;
    if (options.file == "-") {
      data = platform::readAllBounded(STDIN_FILENO, kAppUpdateManifestLimit + 1);
    } else {
      platform::ScopedFD fd(::open(options.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
      if (!fd.valid())
        return fail({"cannot read {0}", {printableText(options.file)}});
      data = platform::readAllBounded(fd.get(), kAppUpdateManifestLimit + 1);
    }
    if (!data)
      return fail({"cannot read {0}", {printableText(options.file)}});
    printRelease(AppUpdateRelease::authenticate(*data, config, options.applicationID,
                                                options.now ? *options.now : currentTime(),
                                                options.systemVersion),
                 options.json);
    return kExitSuccess;
  } catch (const AppUpdateError& error) {
    return reportFailure(error, options.json);
  }
}

void addCommon(CLI::App& command, UpdateOptions& options) {
  command
      .add_option("--public-key", options.publicKey,
                  text("The Ed25519 public key, 32 bytes in standard Base64"))
      ->required();
  command
      .add_option("--app-id", options.applicationID,
                  text("The application identifier the manifest must name"))
      ->required();
  command.add_option(
      "--system-version", options.systemVersion,
      text("Compare the minimum system version with this one instead of the running system's"));
  command.add_flag("--json", options.json, text("Print the manifest as one JSON object"));
}

const Registration kRegistration{
    {"update", "Check the update feed and verify signed release manifests",
     [](CLI::App& command, const GlobalOptions&) -> Runner {
       command.require_subcommand(1);
       auto options = std::make_shared<UpdateOptions>();
       CLI::App* check =
           command.add_subcommand("check", text("Download the feed's manifest and verify it"));
       check->add_option("--feed", options->feed, text("The feed's https address"))->required();
       check->add_option("--ca-file", options->caFile,
                         text("Trust the certificates in this PEM file instead of the system's"));
       check->add_option("--timeout", options->timeout,
                         text("Seconds for the whole download (default 30)"));
       addCommon(*check, *options);
       CLI::App* verify =
           command.add_subcommand("verify", text("Verify a signed manifest read from a file"));
       verify
           ->add_option("FILE", options->file, text("The signed manifest, or - for standard input"))
           ->required();
       verify->add_option("--now", options->now,
                          text("Judge expiry at this time (seconds since 1970) instead of now"));
       addCommon(*verify, *options);
       return
           [options, check] { return check->parsed() ? runCheck(*options) : runVerify(*options); };
     }}};

}  // namespace
}  // namespace korvelin::cli
