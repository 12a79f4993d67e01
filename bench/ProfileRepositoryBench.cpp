// What the catalogue's create, update and load cost with 1, 100 and 1000
// profiles, against the least a durable replacement of the same bytes costs:
// a temporary file written and synced, renamed over the catalogue, the
// directory synced. Each group has its own baseline because the bytes grow
// with the catalogue.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "core/apps/CodexInstallation.h"
#include "core/profile/ProfilePaths.h"
#include "core/profile/ProfileRepository.h"
#include "tests/support/CatalogFixtures.h"
#include "tests/support/TempDir.h"

namespace {

using korvelin::AppProfile;
using korvelin::ProfileRepository;
using korvelin::Uuid;

// A base holding `count` profiles with their trees, written directly (a
// thousand creations would each re-check every tree before them).
struct Catalog {
  korvelin::testing::ScopedTempDir temp;
  std::string base = temp.child("base");
  ProfileRepository repository{base, temp.child("default")};
  std::vector<AppProfile> profiles;
  std::string bytes;

  explicit Catalog(int count) {
    ::chmod(temp.path().c_str(), 0700);
    ::mkdir(base.c_str(), 0700);
    const auto installation = korvelin::testing::chromeInstallation();
    const korvelin::ProfilePreparer preparer(temp.child("default"));
    for (int i = 0; i < count; ++i) {
      AppProfile profile;
      profile.id = Uuid::random();
      profile.name = "Profile " + std::to_string(i);
      profile.application = korvelin::applicationReference(installation);
      profile.adapterIdentifier = "com.korvelin.adapter.chrome";
      profile.launchArguments = {"--lang=en"};
      profile.createdAt =
          std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
      preparer.prepare(korvelin::ProfilePaths(profile.id, base));
      profiles.push_back(profile);
    }
    bytes = korvelin::encodeProfileCatalog(profiles);
    const std::string path = base + "/profiles.json";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    benchmark::DoNotOptimize(::write(fd, bytes.data(), bytes.size()));
    ::close(fd);
  }
};

void baselineDurableWrite(benchmark::State& state, int count) {
  Catalog catalog(count);
  const std::string temp = catalog.base + "/.bench.tmp";
  const std::string target = catalog.base + "/bench.json";
  for (auto _ : state) {
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    benchmark::DoNotOptimize(::write(fd, catalog.bytes.data(), catalog.bytes.size()));
    ::fsync(fd);
    ::close(fd);
    ::rename(temp.c_str(), target.c_str());
    const int dir = ::open(catalog.base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::fsync(dir);
    ::close(dir);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * catalog.bytes.size()));
}

void load(benchmark::State& state, int count) {
  Catalog catalog(count);
  for (auto _ : state)
    benchmark::DoNotOptimize(catalog.repository.load());
}

void update(benchmark::State& state, int count) {
  Catalog catalog(count);
  ProfileRepository::Draft draft;
  draft.id = catalog.profiles.front().id;
  int round = 0;
  for (auto _ : state) {
    draft.name = "Renamed " + std::to_string(++round);
    benchmark::DoNotOptimize(catalog.repository.update(draft));
  }
}

// Each creation is undone (untimed) so that the catalogue keeps its size.
void create(benchmark::State& state, int count) {
  Catalog catalog(count);
  const auto installation = korvelin::testing::chromeInstallation();
  for (auto _ : state) {
    ProfileRepository::Draft draft;
    draft.id = Uuid::random();
    draft.name = "New";
    benchmark::DoNotOptimize(catalog.repository.create(draft, installation));
    state.PauseTiming();
    catalog.repository.remove(draft.id, true);
    state.ResumeTiming();
  }
}

void registerGroup(int count, int iterations) {
  const std::string group = "Catalog" + std::to_string(count) + "/";
  for (auto [name, function] :
       {std::pair{"baseline:durable-write", &baselineDurableWrite}, std::pair{"load", &load},
        std::pair{"update", &update}, std::pair{"create", &create}})
    benchmark::RegisterBenchmark((group + name).c_str(), function, count)
        ->Iterations(iterations)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
}

const bool kRegistered = [] {
  registerGroup(1, 40);
  registerGroup(100, 20);
  registerGroup(1000, 8);
  return true;
}();

}  // namespace
