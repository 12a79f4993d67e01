// What `prepare` of an existing, complete tree costs (it runs before every
// launch) against the bare system calls it cannot avoid: opening each of the
// eight directories relative to its parent and fstat-ing it. The difference
// is the price of the link walk of the base and the ACL reads.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "core/files/FileSystemSecurity.h"
#include "core/profile/ProfilePaths.h"
#include "tests/support/TempDir.h"

namespace {

using korvelin::ProfilePaths;

struct Tree {
  korvelin::testing::ScopedTempDir temp;
  std::string base = temp.child("base");
  ProfilePaths paths{korvelin::Uuid::random(), base};
  korvelin::ProfilePreparer preparer{temp.child("default")};

  Tree() {
    ::mkdir(base.c_str(), 0700);
    preparer.prepare(paths);
  }
};

void baselineOpenatFstat(benchmark::State& state) {
  Tree tree;
  const std::string root = tree.paths.profileID().lowercaseString();
  constexpr int flags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;
  for (auto _ : state) {
    struct stat info {};
    int base = ::open(tree.base.c_str(), flags);
    ::fstat(base, &info);
    int profiles = ::openat(base, "Profiles", flags);
    ::fstat(profiles, &info);
    int rootFD = ::openat(profiles, root.c_str(), flags);
    ::fstat(rootFD, &info);
    for (auto name : ProfilePaths::kChildDirectoryNames) {
      int child = ::openat(rootFD, std::string(name).c_str(), flags);
      ::fstat(child, &info);
      ::close(child);
    }
    ::close(rootFD);
    ::close(profiles);
    ::close(base);
    benchmark::DoNotOptimize(info);
  }
}
BENCHMARK(baselineOpenatFstat)->Name("Prepare/baseline:openat+fstat")->MeasureProcessCPUTime();

void prepareExistingTree(benchmark::State& state) {
  Tree tree;
  for (auto _ : state)
    tree.preparer.prepare(tree.paths);
}
BENCHMARK(prepareExistingTree)->Name("Prepare/prepare")->MeasureProcessCPUTime();

void validatePrepared(benchmark::State& state) {
  Tree tree;
  for (auto _ : state)
    tree.preparer.validatePrepared(tree.paths);
}
BENCHMARK(validatePrepared)->Name("Prepare/validatePrepared")->MeasureProcessCPUTime();

void openManagedRoot(benchmark::State& state) {
  Tree tree;
  for (auto _ : state)
    benchmark::DoNotOptimize(korvelin::SecureFileSystem::openManagedRootFD(tree.paths));
}
BENCHMARK(openManagedRoot)->Name("Prepare/openManagedRootFD")->MeasureProcessCPUTime();

}  // namespace
