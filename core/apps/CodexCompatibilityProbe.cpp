#include "core/apps/CodexCompatibilityProbe.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <thread>

#include "core/files/DirectoryListing.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/platform/ScopedFD.h"
#include "core/process/ProcessSupervisor.h"

namespace korvelin {

namespace {

using platform::ScopedFD;
using Clock = std::chrono::steady_clock;

const ErrorFactory kPathError = &KorvelinCoreError::unsafeProfilePath;

// The two directories the evidence appears in, opened once through the
// verified tree so that every later look stays inside the throw-away profile.
struct EvidenceDirectories {
  ScopedFD userData;
  ScopedFD codexHome;

  bool symbolicLink(const char* name) const {
    struct stat info {};
    return ::fstatat(userData.get(), name, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISLNK(info.st_mode);
  }

  bool codexHomeHasEntries() const {
    const auto names = entryNames(codexHome.get());
    return names && !names->empty();
  }

  bool present() const {
    return symbolicLink("SingletonLock") && symbolicLink("SingletonCookie") &&
           symbolicLink("SingletonSocket") && codexHomeHasEntries();
  }
};

// A fresh profile under <base>/CompatibilityChecks, prepared and checked,
// with its Codex home.
ProfilePaths prepareThrowAwayProfile(const std::string& base, const ProfilePreparer& managed) {
  if (base == managed.defaultBaseDirectory)
    managed.prepareBase(base);
  else
    managed.validateBase(base);
  const std::string checks =
      appendingPathComponent(base, CodexCompatibilityProbe::kChecksDirectoryName);
  // The checks directory is this probe's own base: created inside the
  // verified base when missing, checked like a base otherwise.
  const ProfilePreparer preparer(checks);
  const ProfilePaths paths(Uuid::random(), checks);
  preparer.prepare(paths);
  preparer.validatePrepared(paths);
  preparer.prepareCodexHome(paths);
  return paths;
}

EvidenceDirectories openEvidence(const ProfilePaths& paths) {
  const auto tree =
      SecureFileSystem::openVerifiedHierarchy(paths, SecureFileSystem::MissingDirectories::fail);
  EvidenceDirectories directories;
  directories.userData = SecureFileSystem::openChildDirectoryFD(
      tree.root.get(), "user-data", paths.userData(), MissingDirectories::fail, kPathError);
  auto home = SecureFileSystem::openChildDirectoryFD(tree.root.get(), "home", paths.home(),
                                                     MissingDirectories::fail, kPathError);
  directories.codexHome = SecureFileSystem::openChildDirectoryFD(
      home.get(), ".codex", paths.codexHome(), MissingDirectories::fail, kPathError);
  return directories;
}

}  // namespace

CodexCompatibilityProbe::CodexCompatibilityProbe(const std::string& baseDirectory,
                                                 const std::string& defaultBaseDirectory,
                                                 double timeout)
    : approvalStore_(baseDirectory, ProfilePreparer(defaultBaseDirectory)),
      adapter_(defaultBaseDirectory, std::make_shared<CodexBundleInspector>(approvalStore_)),
      timeout_(timeout) {}

CodexInstallation CodexCompatibilityProbe::check(const CodexInstallation& installation) const {
  const std::string bundle = installation.bundlePath().value_or("");
  const auto inspected = adapter_.inspect(bundle);
  if (inspected != installation)
    throw KorvelinCoreError::installationChanged();
  if (inspected.compatibilityStatus != CodexCompatibilityStatus::unverifiedVersion)
    return inspected;

  const auto& store = approvalStore_;
  const ProfilePaths paths = prepareThrowAwayProfile(store.baseDirectory(), store.preparer());
  const EvidenceDirectories evidence = openEvidence(paths);
  ProcessSupervisor supervisor;
  const auto plan = CodexLaunchAdapter::unapprovedPlan(installation, paths, std::nullopt, {}, {});
  const auto run = adapter_.launch(plan, supervisor);

  bool confirmed = false;
  try {
    const auto deadline = Clock::now() + std::chrono::duration<double>(timeout_);
    while (!evidence.present()) {
      if (Clock::now() >= deadline)
        throw KorvelinCoreError::compatibilityCheckFailed(
            "Codex did not create isolated profile evidence before the timeout");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    supervisor.stop(paths.profileID(), paths, kStopTimeout);
    supervisor.confirmCompletion(paths.profileID(), run.runID, paths);
    confirmed = true;
    if (adapter_.inspect(bundle) != installation)
      throw KorvelinCoreError::installationChanged();
  } catch (...) {
    if (!confirmed) {
      // The first error is the one reported; a stop that fails too leaves
      // the run to the lease's recovery.
      try {
        supervisor.stop(paths.profileID(), paths, kStopTimeout);
        supervisor.confirmCompletion(paths.profileID(), run.runID, paths);
      } catch (const KorvelinCoreError&) {
      }
    }
    throw;
  }
  store.approve(installation);
  return adapter_.inspect(bundle);
}

}  // namespace korvelin
