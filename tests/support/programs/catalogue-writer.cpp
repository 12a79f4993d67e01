// catalogue-writer loop BASE INSTALLATION.json INFLIGHT
//   Changes the catalogue until killed: creates profiles while there are
//   fewer than three, then creates, renames or deletes (with data) one at
//   random, at most six at a time. Before each change it replaces INFLIGHT
//   (write, then rename) with {"op", "id", "name", "before"}: the change it
//   is about to make and the catalogue's bytes before it (null: no file).
// catalogue-writer create BASE INSTALLATION.json COUNT PREFIX
//   Creates COUNT profiles named PREFIX-0, PREFIX-1, ... and prints
//   "created" after each.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include <nlohmann/json.hpp>

#include "core/apps/CodexInstallation.h"
#include "core/base/CoreError.h"
#include "core/platform/FileUtil.h"
#include "core/profile/ProfileRepository.h"

using namespace korvelin;
using nlohmann::json;

namespace {

std::optional<std::string> readFile(const std::string& path) {
  return korvelin::platform::readSmallFile(path,
                                           2 * korvelin::ProfileRepository::maximumCatalogBytes);
}

void announce(const std::string& path, const json& change) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << change.dump();
  }
  std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(
        stderr,
        "usage: catalogue-writer loop|create BASE INSTALLATION.json INFLIGHT|COUNT [PREFIX]\n");
    return 2;
  }
  const std::string mode = argv[1];
  const std::string base = argv[2];
  const auto installation = json::parse(*readFile(argv[3])).get<CodexInstallation>();
  const ProfileRepository repository(base, base + "/not-the-default");
  try {
    if (mode == "create") {
      const int count = std::atoi(argv[4]);
      for (int i = 0; i < count; ++i) {
        ProfileRepository::Draft draft;
        draft.id = Uuid::random();
        draft.name = std::string(argv[5]) + "-" + std::to_string(i);
        repository.create(draft, installation);
        std::printf("created\n");
        std::fflush(stdout);
      }
      return 0;
    }
    const std::string inflight = argv[4];
    std::mt19937 random(static_cast<unsigned>(::getpid()));
    const std::string catalog = base + "/profiles.json";
    for (unsigned round = 0;; ++round) {
      const auto profiles = repository.load().profiles;
      const auto before = readFile(catalog);
      const unsigned choice = profiles.size() < 3    ? 0
                              : profiles.size() >= 6 ? 1 + random() % 2
                                                     : random() % 3;
      ProfileRepository::Draft draft;
      if (choice == 0) {
        draft.id = Uuid::random();
        draft.name = "P" + std::to_string(::getpid()) + "-" + std::to_string(round);
      } else {
        const AppProfile& target = profiles[random() % profiles.size()];
        draft = {target.id,
                 target.name + "+",
                 target.color,
                 target.proxy,
                 target.proxyConnectionID,
                 target.allowSystemRouteFallback,
                 target.environmentVariables,
                 target.launchArguments};
        if (draft.name.size() > 50)
          draft.name = "R" + std::to_string(round);
      }
      const char* op = choice == 0 ? "create" : choice == 1 ? "delete" : "update";
      announce(inflight, {{"op", op},
                          {"id", draft.id.uppercaseString()},
                          {"name", draft.name},
                          {"before", before ? json(*before) : json(nullptr)}});
      if (choice == 0)
        repository.create(draft, installation);
      else if (choice == 1)
        repository.remove(draft.id, true);
      else
        repository.update(draft);
    }
  } catch (const KorvelinCoreError& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
