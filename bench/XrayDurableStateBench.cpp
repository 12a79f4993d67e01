// What a confirmed write of the durable sidecar record costs against what no
// crash-safe write can avoid: one pwrite of 16 KiB and an fsync, on the same
// file system. On top of that come the record's JSON and the page's digest,
// the check of the three files (three fstat and fstatat pairs) and the
// read-back of both pages (one pread; the page just written has its JSON
// decoded, a page unchanged since it was last seen is compared byte for
// byte instead of being hashed and parsed again). The ratio to hold is CPU
// time: the fsync's wall time is the disk's. A
// whole locked access adds opening the profile root through its verified
// parents, the lock file with its flock, the marker and the state file.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <benchmark/benchmark.h>

#include "core/profile/ProfilePaths.h"
#include "core/proxy/XrayDurableStateStore.h"
#include "tests/support/TempDir.h"

namespace {

using korvelin::XrayDurableState;
using korvelin::XrayDurableStateStore;
using korvelin::XrayDurableStateWriter;

// A prepared profile whose record has been bootstrapped.
struct Profile {
  korvelin::testing::ScopedTempDir temp;
  std::string base = temp.child("base");
  korvelin::ProfilePaths paths{korvelin::Uuid::random(), base};
  XrayDurableStateStore store;

  Profile() {
    ::mkdir(base.c_str(), 0700);
    korvelin::ProfilePreparer(temp.child("default")).prepare(paths);
    store.withLockedState(paths, true, [](const XrayDurableState&, XrayDurableStateWriter&) {});
  }

  // What a guarded start writes (every field but childPID); `n` varies it.
  XrayDurableState active(std::int32_t n) const {
    XrayDurableState state = XrayDurableState::emptyRecord(paths.profileID());
    state.status = XrayDurableState::Status::active;
    state.connectionID = korvelin::Uuid::random();
    state.generation = korvelin::Uuid::random();
    state.guardianPID = n;
    state.loopbackPort = 10808;
    state.socketPath = "/tmp/korvelin-guardian-" + paths.profileID().lowercaseString() + ".sock";
    state.capability = std::string(64, 'a');
    state.protocolVersion = 2;
    state.guardianIdentity = korvelin::LiveProcessIdentity{n,
                                                           n,
                                                           501,
                                                           1700000000,
                                                           123456,
                                                           "/opt/korvelin/korvelin-xray-guardian",
                                                           "6c1e2f4a-3b5d-4e7f-8a9b-0c1d2e3f4a5b"};
    return state;
  }
};

void baselinePwriteFsync(benchmark::State& state) {
  korvelin::testing::ScopedTempDir temp;
  const std::string path = temp.child("pages");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  const std::string page(korvelin::XrayStatePage::kSize, 'p');
  ::ftruncate(fd, 2 * page.size());
  long i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(::pwrite(fd, page.data(), page.size(), (i++ % 2) * page.size()));
    ::fsync(fd);
  }
  ::close(fd);
}
BENCHMARK(baselinePwriteFsync)->Name("XrayState/baseline:pwrite+fsync")->MeasureProcessCPUTime();

void write(benchmark::State& state) {
  Profile profile;
  const XrayDurableState records[2] = {profile.active(1), profile.active(2)};
  profile.store.withLockedState(profile.paths, false,
                                [&](const XrayDurableState&, XrayDurableStateWriter& writer) {
                                  long i = 0;
                                  for (auto _ : state)
                                    writer.write(records[i++ % 2]);
                                });
}
BENCHMARK(write)->Name("XrayState/write")->MeasureProcessCPUTime();

void lockedAccessWithOneWrite(benchmark::State& state) {
  Profile profile;
  const XrayDurableState records[2] = {profile.active(1), profile.active(2)};
  long i = 0;
  for (auto _ : state)
    profile.store.withLockedState(profile.paths, false,
                                  [&](const XrayDurableState&, XrayDurableStateWriter& writer) {
                                    writer.write(records[i++ % 2]);
                                  });
}
BENCHMARK(lockedAccessWithOneWrite)
    ->Name("XrayState/withLockedState+write")
    ->MeasureProcessCPUTime();

// Reading: what the restored-proxy observers pay per look, against reading
// the two pages with one pread.
void baselinePread(benchmark::State& state) {
  Profile profile;
  const std::string path = profile.paths.root() + "/.xray-state";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::string buffer(XrayDurableStateStore::kStateFileSize, '\0');
  for (auto _ : state)
    benchmark::DoNotOptimize(::pread(fd, buffer.data(), buffer.size(), 0));
  ::close(fd);
}
BENCHMARK(baselinePread)->Name("XrayStateRead/baseline:pread")->MeasureProcessCPUTime();

void readOnly(benchmark::State& state) {
  Profile profile;
  profile.store.withLockedState(profile.paths, false,
                                [&](const XrayDurableState&, XrayDurableStateWriter& writer) {
                                  writer.write(profile.active(1));
                                });
  for (auto _ : state)
    benchmark::DoNotOptimize(profile.store.readOnly(profile.paths));
}
BENCHMARK(readOnly)->Name("XrayStateRead/readOnly")->MeasureProcessCPUTime();

}  // namespace
