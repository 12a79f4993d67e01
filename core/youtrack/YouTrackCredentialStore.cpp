#include "core/youtrack/YouTrackCredentialStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "core/base/CoreError.h"
#include "core/files/DirectoryListing.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/FileUtil.h"
#include "core/platform/Rename.h"
#include "core/text/UnicodeText.h"
#include "core/text/Utf8.h"

namespace korvelin {

using platform::ScopedFD;

namespace {

constexpr std::string_view kDirectoryName = "Credentials";
constexpr std::size_t kMaximumSecretBytes = 65536;
constexpr std::string_view kTemporaryPrefix = ".tmp-";

// A refused directory or file: its detail is not shown, the status says
// that the storage is not private.
const ErrorFactory kRefused{ErrorFactory::Make(
    [](const std::string&) -> KorvelinCoreError { throw CredentialFileFailure{EPERM}; })};

[[noreturn]] void failWith(int status) {
  throw CredentialFileFailure{status};
}

bool validAccount(std::string_view account) {
  return !account.empty() && account.find('/') == std::string_view::npos &&
         account.front() != '.' && account.find('\0') == std::string_view::npos;
}

// "<base>/Credentials/<service>", opened and verified; created when asked.
// Absent when it does not exist and may not be created.
std::optional<ScopedFD> openServiceDirectory(const std::string& base,
                                             const std::string& service,
                                             bool create) {
  ScopedFD baseFD = SecureFileSystem::openDirectoryFD(base, {}, kRefused);
  int parent = baseFD.get();
  ScopedFD directory;
  for (std::string_view name : {kDirectoryName, std::string_view(service)}) {
    struct stat info {};
    const std::string child(name);
    if (!create && ::fstatat(parent, child.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT)
        return std::nullopt;
      failWith(errno);
    }
    directory = SecureFileSystem::openChildDirectoryFD(
        parent, name, child, create ? MissingDirectories::create : MissingDirectories::fail,
        kRefused);
    parent = directory.get();
    baseFD = std::move(directory);
    directory = ScopedFD();
  }
  return baseFD;
}

// Status-carrying failures of the file layer as the caller's error.
template <typename Operation, typename Failure>
auto translating(Operation&& operation, Failure&& failure) -> decltype(operation()) {
  try {
    return operation();
  } catch (const CredentialFileFailure& failed) {
    failure(failed.status);
    throw;
  } catch (const KorvelinCoreError&) {
    failure(EPERM);  // a check of the storage that reports in its own words
    throw;
  }
}

}  // namespace

std::string YouTrackTokenValidator::validatedData(std::string_view token) {
  if (token.empty() || token.size() > maximumBytes || !isValidUtf8(token) ||
      unicode::trimmed(token, unicode::Trim::whiteSpaceAndNewlines).empty() ||
      unicode::containsControlCharacter(token))
    throw KorvelinCoreError::invalidYouTrackToken();
  return std::string(token);
}

PrivateCredentialFiles::PrivateCredentialFiles(std::string base,
                                               std::string service,
                                               std::size_t maximumBytes)
    : base_(std::move(base)), service_(std::move(service)), maximumBytes_(maximumBytes) {}

std::optional<std::string> PrivateCredentialFiles::read(std::string_view account) const {
  if (!validAccount(account))
    failWith(EINVAL);
  const auto directory = openServiceDirectory(base_, service_, false);
  if (!directory)
    return std::nullopt;
  ScopedFD fd = PrivateFile::open(directory->get(), account, O_RDONLY);
  if (!fd) {
    if (errno == ENOENT)
      return std::nullopt;
    failWith(errno == ELOOP ? EPERM : errno);
  }
  PrivateFile::verify(fd.get(), std::string(account), kRefused,
                      {.sizes = std::pair<off_t, off_t>(0, static_cast<off_t>(maximumBytes_)),
                       .aclUnreadable = kRefused});
  auto bytes = platform::readAllBounded(fd.get(), maximumBytes_);
  if (!bytes)
    failWith(EIO);
  return bytes;
}

void PrivateCredentialFiles::write(std::string_view account,
                                   std::string_view secret,
                                   Write mode) const {
  if (!validAccount(account) || secret.size() > maximumBytes_)
    failWith(EINVAL);
  const auto directory = openServiceDirectory(base_, service_, true);
  const int dir = directory->get();
  const std::string name(account);
  struct stat info {};
  const bool exists = ::fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
  if (mode == Write::update && !exists)
    failWith(ENOENT);
  if (mode == Write::create && exists)
    failWith(EEXIST);
  const std::string temporary = std::string(kTemporaryPrefix) + Uuid::random().lowercaseString();
  ScopedFD fd = PrivateFile::createExclusive(dir, temporary, O_WRONLY, temporary, kRefused);
  int renamed = -1;
  int status = EIO;
  if (platform::writeFull(fd.get(), secret) && ::fsync(fd.get()) == 0) {
    renamed = mode == Write::create
                  ? platform::renameNoReplace(dir, temporary.c_str(), dir, name.c_str())
                  : ::renameat(dir, temporary.c_str(), dir, name.c_str());
    status = errno;
  } else {
    status = errno;
  }
  if (renamed != 0) {
    ::unlinkat(dir, temporary.c_str(), 0);
    failWith(status);
  }
  ::fsync(dir);  // the secret is in place; a failed sync only leaves durability unconfirmed
}

bool PrivateCredentialFiles::remove(std::string_view account) const {
  if (!validAccount(account))
    failWith(EINVAL);
  const auto directory = openServiceDirectory(base_, service_, false);
  if (!directory)
    return false;
  const std::string name(account);
  if (::unlinkat(directory->get(), name.c_str(), 0) != 0) {
    if (errno == ENOENT)
      return false;
    failWith(errno);
  }
  ::fsync(directory->get());
  return true;
}

void PrivateCredentialFiles::removeLeftovers() const {
  const auto directory = openServiceDirectory(base_, service_, false);
  if (!directory)
    return;
  const auto names = entryNames(directory->get());
  if (!names)
    failWith(errno);
  for (const auto& name : *names)
    if (name.starts_with(kTemporaryPrefix))
      ::unlinkat(directory->get(), name.c_str(), 0);
}

YouTrackFileCredentialStore::YouTrackFileCredentialStore(std::string base)
    : files_(std::move(base), "mcp.youtrack", YouTrackTokenValidator::maximumBytes) {}

namespace {
constexpr std::string_view kTokenAccount = "shared";
[[noreturn]] void tokenUnavailable(int status) {
  throw KorvelinCoreError::youTrackCredentialUnavailable(status);
}
}  // namespace

YouTrackCredentialStatus YouTrackFileCredentialStore::status() {
  return translating([&] { return files_.read(kTokenAccount); }, tokenUnavailable)
             ? YouTrackCredentialStatus::configured
             : YouTrackCredentialStatus::notConfigured;
}

std::string YouTrackFileCredentialStore::readToken() {
  auto token = translating([&] { return files_.read(kTokenAccount); }, tokenUnavailable);
  if (!token)
    throw KorvelinCoreError::youTrackCredentialNotConfigured();
  if (token->empty())
    tokenUnavailable(ENODATA);
  return std::move(*token);
}

void YouTrackFileCredentialStore::storeToken(std::string_view token) {
  const std::string data = YouTrackTokenValidator::validatedData(token);
  translating(
      [&] {
        files_.removeLeftovers();
        files_.write(kTokenAccount, data, PrivateCredentialFiles::Write::replace);
      },
      tokenUnavailable);
}

void YouTrackFileCredentialStore::deleteToken() {
  translating(
      [&] {
        files_.removeLeftovers();
        files_.remove(kTokenAccount);
      },
      tokenUnavailable);
}

FileLock holdYouTrackToken(const std::string& base, FileLock::Mode mode) {
  constexpr std::string_view kName = ".in-use";
  FileLock lock;
  translating(
      [&] {
        const auto directory = openServiceDirectory(base, "mcp.youtrack", true);
        bool created = false;
        ScopedFD fd = PrivateFile::openOrCreate(directory->get(), kName, O_RDWR, std::string(kName),
                                                kRefused, created);
        if (!fd)
          failWith(errno == ELOOP ? EPERM : errno);
        PrivateFile::verify(fd.get(), std::string(kName), kRefused, {.aclUnreadable = kRefused});
        lock = FileLock(std::move(fd));
      },
      tokenUnavailable);
  if (!lock.lock(mode, FileLock::Wait::never)) {
    if (errno == EWOULDBLOCK)
      throw KorvelinCoreError::youTrackCredentialMutationBlocked();
    tokenUnavailable(errno);
  }
  return lock;
}

PrivateFileCredentialStore::PrivateFileCredentialStore(std::string base, std::string service)
    : files_(std::move(base), std::move(service), kMaximumSecretBytes) {}

namespace {
auto keychainFailure(const char* operation) {
  return [operation](int status) {
    throw KorvelinCoreError::keychainOperationFailed(operation, status);
  };
}
}  // namespace

void PrivateFileCredentialStore::create(const Uuid& reference, std::string_view secret) {
  if (secret.empty())
    throw KorvelinCoreError::invalidCredentialSecret();
  translating(
      [&] {
        files_.write(reference.lowercaseString(), secret, PrivateCredentialFiles::Write::create);
      },
      keychainFailure("create"));
}

std::string PrivateFileCredentialStore::read(const Uuid& reference) {
  auto secret = translating([&] { return files_.read(reference.lowercaseString()); },
                            keychainFailure("read"));
  if (!secret || secret->empty())
    throw KorvelinCoreError::keychainOperationFailed("read", secret ? ENODATA : ENOENT);
  return std::move(*secret);
}

void PrivateFileCredentialStore::update(const Uuid& reference, std::string_view secret) {
  if (secret.empty())
    throw KorvelinCoreError::invalidCredentialSecret();
  translating(
      [&] {
        files_.write(reference.lowercaseString(), secret, PrivateCredentialFiles::Write::update);
      },
      keychainFailure("update"));
}

void PrivateFileCredentialStore::remove(const Uuid& reference) {
  const bool removed = translating([&] { return files_.remove(reference.lowercaseString()); },
                                   keychainFailure("delete"));
  if (!removed)
    throw KorvelinCoreError::keychainOperationFailed("delete", ENOENT);
}

}  // namespace korvelin
