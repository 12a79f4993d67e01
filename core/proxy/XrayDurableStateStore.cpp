#include "core/proxy/XrayDurableStateStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/base/CoreError.h"
#include "core/base/EnumNames.h"
#include "core/base/JsonSupport.h"
#include "core/files/FileLock.h"
#include "core/files/FilePath.h"
#include "core/files/FileSystemSecurity.h"
#include "core/files/PrivateFile.h"
#include "core/platform/Eintr.h"
#include "core/platform/FileUtil.h"
#include "core/platform/ScopedFD.h"
#include "core/platform/Sha256.h"
#include "core/profile/ProfilePaths.h"

namespace korvelin {

using platform::retryOnEintr;
using platform::ScopedFD;

namespace {

constexpr std::size_t kLengthOffset = 8;
constexpr std::size_t kJSONOffset = 12;
constexpr std::size_t kDigestOffset =
    XrayStatePage::kSize - std::tuple_size_v<platform::Sha256Digest>;
static_assert(kDigestOffset == kJSONOffset + XrayStatePage::kMaxJSONLength);

// One of the three files and the size it must have.
struct ManagedFile {
  std::string_view name;
  off_t size;
};
constexpr ManagedFile kLockFile{XrayDurableStateStore::kOperationLockFileName, 0};
constexpr ManagedFile kMarkerFile{XrayDurableStateStore::kManagedMarkerFileName, 0};
constexpr ManagedFile kStateFile{XrayDurableStateStore::kStateFileName,
                                 static_cast<off_t>(XrayDurableStateStore::kStateFileSize)};

template <typename T>
void putLittleEndian(char* out, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i)
    out[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

template <typename T>
T getLittleEndian(const char* in) {
  T value = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i)
    value |= T(static_cast<unsigned char>(in[i])) << (8 * i);
  return value;
}

// One page as this process last saw it. Decoding a page depends on its bytes
// alone, so bytes read again unchanged are compared with memcmp instead of
// being hashed and parsed again: a locked access, and the read-back after a
// write, decode only what changed. A page this process wrote is kept
// undecoded: its digest is known to match (it was computed here from these
// bytes), but what its JSON decodes to is still checked on the read-back.
struct SeenPage {
  std::string bytes;
  bool decoded = false;
  std::optional<XrayStatePage> page;  // when `decoded`: absent for no valid page
};
using SeenPages = std::array<std::optional<SeenPage>, 2>;

// Every refusal is `profileRecoveryRequired` for the profile; the reason goes
// to the store's reporter first.
ErrorFactory refusalFor(const Uuid& profileID,
                        const XrayDurableStateStore::RefusalReporter& report) {
  return ErrorFactory::always(KorvelinCoreError::profileRecoveryRequired(profileID), report);
}

ScopedFD openManagedRoot(const ProfilePaths& paths, const ErrorFactory& refuse) {
  try {
    return SecureFileSystem::openManagedRootFD(paths);
  } catch (const KorvelinCoreError& e) {
    throw refuse(e.detail());
  }
}

// A private file of the user (owner, type, mode, one link, no ACL entry)
// and, when asked, of the size the file must have.
struct stat validate(int fd, const ManagedFile& file, bool checkSize, const ErrorFactory& refuse) {
  PrivateFileRules rules;
  if (checkSize)
    rules.sizes = {{file.size, file.size}};
  return PrivateFile::verify(fd, std::string(file.name), refuse, rules);
}

// The name in the root must still be the file that was opened.
void validatePath(int root,
                  const ManagedFile& file,
                  const struct stat& opened,
                  const ErrorFactory& refuse) {
  PrivateFile::requireStillNamed(root, file.name, opened, refuse);
}

void lock(FileLock& file,
          FileLock::Mode mode,
          FileLock::Wait wait,
          std::string_view name,
          const ErrorFactory& refuse) {
  if (!file.lock(mode, wait))
    throw refuse.failed(errno, "flock", name);
}

std::optional<XrayStatePage> decodeAfterDigest(std::string_view bytes);

// Both pages, with one pread; a page that was not read in full is no page.
// With `seen`, a page whose bytes are exactly those this process last saw
// there is not decoded again (see SeenPage).
std::array<std::optional<XrayStatePage>, 2> readPages(int fd, SeenPages* seen) {
  std::string bytes(XrayDurableStateStore::kStateFileSize, '\0');
  const ssize_t n = retryOnEintr([&] { return ::pread(fd, bytes.data(), bytes.size(), 0); });
  std::array<std::optional<XrayStatePage>, 2> pages;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    if (n < static_cast<ssize_t>((i + 1) * XrayStatePage::kSize))
      continue;
    const std::string_view page =
        std::string_view(bytes).substr(i * XrayStatePage::kSize, XrayStatePage::kSize);
    if (!seen) {
      pages[i] = XrayStatePage::decode(page);
      continue;
    }
    auto& known = (*seen)[i];
    if (!known || known->bytes != page)
      known = SeenPage{std::string(page), true, XrayStatePage::decode(page)};
    else if (!known->decoded)
      known->page = decodeAfterDigest(page), known->decoded = true;
    pages[i] = known->page;
  }
  return pages;
}

// True when the state file holds nothing but zero bytes: the bootstrap that
// sized it never wrote its first page, so no record was ever confirmed in it.
bool holdsOnlyZeroBytes(int fd) {
  std::string bytes(static_cast<std::size_t>(kStateFile.size), '\0');
  const ssize_t n = retryOnEintr([&] { return ::pread(fd, bytes.data(), bytes.size(), 0); });
  return n == static_cast<ssize_t>(bytes.size()) &&
         bytes.find_first_not_of('\0') == std::string::npos;
}

// The newest valid page; it must belong to the profile, and a page carrying
// the same sequence must hold the same record.
XrayStatePage readCurrent(int fd,
                          const Uuid& profileID,
                          const ErrorFactory& refuse,
                          SeenPages* seen) {
  const std::array<std::optional<XrayStatePage>, 2> pages = readPages(fd, seen);
  const XrayStatePage* newest = nullptr;
  for (const auto& page : pages)
    if (page && (!newest || page->sequence > newest->sequence))
      newest = &*page;
  if (!newest)
    throw refuse("no valid page in .xray-state");
  if (newest->state.profileID != profileID)
    throw refuse(".xray-state holds a record of profile " +
                 newest->state.profileID.uppercaseString());
  for (const auto& page : pages)
    if (page && page->sequence == newest->sequence && page->state != newest->state)
      throw refuse("both pages of .xray-state hold sequence " + std::to_string(newest->sequence) +
                   " with different records");
  return *newest;
}

}  // namespace

// ---------------------------------------------------------------------------
// The record and its page

XrayDurableState XrayDurableState::emptyRecord(const Uuid& profileID) {
  XrayDurableState state;
  state.profileID = profileID;
  return state;
}

namespace {
constexpr EnumNames<XrayDurableState::Status, 2> kStatusNames{{
    {XrayDurableState::Status::empty, "empty"},
    {XrayDurableState::Status::active, "active"},
}};
}  // namespace

std::string_view rawValue(XrayDurableState::Status status) {
  return kStatusNames.name(status);
}

void to_json(nlohmann::json& json, const XrayDurableState& state) {
  json = nlohmann::json{{"status", rawValue(state.status)}, {"profileID", state.profileID}};
  if (state.connectionID)
    json["connectionID"] = *state.connectionID;
  if (state.generation)
    json["generation"] = *state.generation;
  if (state.guardianPID)
    json["guardianPID"] = *state.guardianPID;
  if (state.childPID)
    json["childPID"] = *state.childPID;
  if (state.loopbackPort)
    json["loopbackPort"] = *state.loopbackPort;
  if (state.socketPath)
    json["socketPath"] = *state.socketPath;
  if (state.capability)
    json["capability"] = *state.capability;
  if (state.protocolVersion)
    json["protocolVersion"] = *state.protocolVersion;
  if (state.guardianIdentity)
    json["guardianIdentity"] = *state.guardianIdentity;
}

void from_json(const nlohmann::json& json, XrayDurableState& state) {
  using namespace jsonio;
  requireKeysAmong(json, {"status", "profileID"},
                   {"connectionID", "generation", "guardianPID", "childPID", "loopbackPort",
                    "socketPath", "capability", "protocolVersion", "guardianIdentity"});
  XrayDurableState result;
  const auto status = kStatusNames.value(requireString(json, "status"));
  if (!status)
    throw ShapeError("\"status\" is neither \"empty\" nor \"active\"");
  result.status = *status;
  result.profileID = requireUuid(json, "profileID");
  if (optionalMember(json, "connectionID"))
    result.connectionID = requireUuid(json, "connectionID");
  if (optionalMember(json, "generation"))
    result.generation = requireUuid(json, "generation");
  if (optionalMember(json, "guardianPID"))
    result.guardianPID = requireInteger<std::int32_t>(json, "guardianPID");
  if (optionalMember(json, "childPID"))
    result.childPID = requireInteger<std::int32_t>(json, "childPID");
  if (optionalMember(json, "loopbackPort"))
    result.loopbackPort = requireInteger<std::uint16_t>(json, "loopbackPort");
  if (optionalMember(json, "socketPath"))
    result.socketPath = requireString(json, "socketPath");
  if (optionalMember(json, "capability"))
    result.capability = requireString(json, "capability");
  if (optionalMember(json, "protocolVersion"))
    result.protocolVersion = requireInteger<std::int64_t>(json, "protocolVersion");
  if (const auto* identity = optionalMember(json, "guardianIdentity"))
    result.guardianIdentity = identity->get<LiveProcessIdentity>();
  state = std::move(result);
}

std::optional<std::string> XrayStatePage::encode(const XrayDurableState& state,
                                                 std::uint64_t sequence) {
  const std::string json = jsonio::compact(nlohmann::json(state));
  if (json.size() > kMaxJSONLength)
    return std::nullopt;
  std::string page(kSize, '\0');
  putLittleEndian<std::uint64_t>(page.data(), sequence);
  putLittleEndian<std::uint32_t>(page.data() + kLengthOffset,
                                 static_cast<std::uint32_t>(json.size()));
  std::memcpy(page.data() + kJSONOffset, json.data(), json.size());
  const platform::Sha256Digest digest = platform::sha256(page.data(), kDigestOffset);
  std::memcpy(page.data() + kDigestOffset, digest.data(), digest.size());
  return page;
}

std::optional<XrayStatePage> XrayStatePage::decode(std::string_view bytes) {
  if (bytes.size() != kSize)
    return std::nullopt;
  const platform::Sha256Digest digest = platform::sha256(bytes.data(), kDigestOffset);
  if (std::memcmp(digest.data(), bytes.data() + kDigestOffset, digest.size()) != 0)
    return std::nullopt;
  return decodeAfterDigest(bytes);
}

namespace {

// Everything `decode` checks after the digest.
std::optional<XrayStatePage> decodeAfterDigest(std::string_view bytes) {
  XrayStatePage page;
  page.sequence = getLittleEndian<std::uint64_t>(bytes.data());
  const auto length = getLittleEndian<std::uint32_t>(bytes.data() + kLengthOffset);
  if (page.sequence == 0 || length == 0 || length > XrayStatePage::kMaxJSONLength)
    return std::nullopt;
  const std::string_view text = bytes.substr(kJSONOffset, length);
  const auto document = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
  if (document.is_discarded())
    return std::nullopt;
  try {
    page.state = document.get<XrayDurableState>();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  } catch (const jsonio::ShapeError&) {
    return std::nullopt;
  }
  return page;
}

}  // namespace

// ---------------------------------------------------------------------------
// Locked access

// The files of one locked access. Members are released in reverse order:
// the state file and the marker are closed, then the flock lock is released
// and the lock file closed, then the root.
struct XrayDurableStateWriter::Files {
  Files(const Uuid& profile,
        const XrayDurableStateStore::RefusalReporter& report,
        const XrayDurableStateStore::FaultHook& faultHook,
        SeenPages& seenPages)
      : profileID(profile),
        refuse(refusalFor(profile, report)),
        fault(faultHook),
        seen(seenPages) {}

  void reached(std::string_view point, std::uint64_t sequence) const {
    if (fault)
      fault(point, sequence);
  }

  // Opens a file of the root, creating it private when it is missing. An
  // existing file is left for `validate` to judge.
  ScopedFD openOrCreate(const ManagedFile& file, int access, bool& created) const {
    const std::string name(file.name);
    ScopedFD fd = PrivateFile::openOrCreate(root.get(), name, access, name, refuse, created);
    if (!fd)
      throw refuse.failed(errno, "open", name);
    return fd;
  }

  // A new entry in the root lasts only once the directory itself is synced.
  void syncRoot() const {
    if (retryOnEintr([&] { return ::fsync(root.get()); }) != 0)
      throw refuse.failed(errno, "fsync", "the profile root");
  }

  void createMarker() const {
    const std::string name(kMarkerFile.name);
    ScopedFD fd = PrivateFile::createExclusive(root.get(), name, O_WRONLY, name, refuse);
    if (retryOnEintr([&] { return ::fsync(fd.get()); }) != 0)
      throw refuse.failed(errno, "fsync", name);
    reached("bootstrap.markerCreated", 0);
    syncRoot();
  }

  // Steps up to the point where the record can be read: the root, the lock
  // file locked exclusively, the marker (created only when allowed) and the
  // state file (created holding the empty record when missing or empty).
  void open(const ProfilePaths& paths, bool allowBootstrap) {
    root = openManagedRoot(paths, refuse);

    bool created = false;
    lock = FileLock(openOrCreate(kLockFile, O_RDWR, created));
    korvelin::lock(lock, FileLock::Mode::exclusive, FileLock::Wait::untilFree, kLockFile.name,
                   refuse);
    validatePath(root.get(), kLockFile, validate(lock.fd(), kLockFile, true, refuse), refuse);

    const std::string markerName(kMarkerFile.name);
    marker = PrivateFile::open(root.get(), markerName, O_RDONLY);
    if (!marker && errno == ENOENT) {
      if (!allowBootstrap)
        throw refuse(markerName + " is missing: the profile is not prepared for a proxy");
      createMarker();
      marker = PrivateFile::open(root.get(), markerName, O_RDONLY);
    }
    if (!marker)
      throw refuse.failed(errno, "open", markerName);
    validatePath(root.get(), kMarkerFile, validate(marker.get(), kMarkerFile, true, refuse),
                 refuse);

    state = openOrCreate(kStateFile, O_RDWR, created);
    // Checked before anything is written into it: never extend or write a
    // file that is someone else's, linked elsewhere or open to others.
    // A file sized but still all zeros is a bootstrap interrupted before its
    // first page: finished here, under the lock, like a new one.
    struct stat opened = validate(state.get(), kStateFile, false, refuse);
    const off_t size = opened.st_size;
    const bool bootstrap =
        size == 0 || (size == kStateFile.size && holdsOnlyZeroBytes(state.get()));
    if (bootstrap) {
      if (size == 0) {
        reached("bootstrap.stateCreated", 1);
        if (retryOnEintr([&] { return ::ftruncate(state.get(), kStateFile.size); }) != 0)
          throw refuse.failed(errno, "ftruncate", kStateFile.name);
        reached("bootstrap.stateSized", 1);
      }
      writePage(XrayDurableState::emptyRecord(profileID), 1, 0);
      // An earlier attempt may have died before the new name was synced.
      syncRoot();
    }
    // Checked again only where something changed or the size is wrong (which
    // this check words).
    if (bootstrap || size != kStateFile.size)
      opened = validate(state.get(), kStateFile, true, refuse);
    validatePath(root.get(), kStateFile, opened, refuse);
  }

  // All three files are still the private, single-link files that were opened.
  void revalidate() const {
    validatePath(root.get(), kLockFile, validate(lock.fd(), kLockFile, true, refuse), refuse);
    validatePath(root.get(), kMarkerFile, validate(marker.get(), kMarkerFile, true, refuse),
                 refuse);
    validatePath(root.get(), kStateFile, validate(state.get(), kStateFile, true, refuse), refuse);
  }

  // One whole page with one pwrite, then fsync: a write is never split up
  // by this code, only by a crash.
  void writePage(const XrayDurableState& record, std::uint64_t sequence, int page) const {
    auto bytes = XrayStatePage::encode(record, sequence);
    if (!bytes)
      throw refuse("the record's JSON is longer than " +
                   std::to_string(XrayStatePage::kMaxJSONLength) + " bytes");
    const off_t offset = static_cast<off_t>(page) * static_cast<off_t>(XrayStatePage::kSize);
    reached("page.beforeWrite", sequence);
    const ssize_t n =
        retryOnEintr([&] { return ::pwrite(state.get(), bytes->data(), bytes->size(), offset); });
    if (n < 0)
      throw refuse.failed(errno, "pwrite", kStateFile.name);
    if (n != static_cast<ssize_t>(bytes->size()))
      throw refuse("short write to .xray-state");
    seen[static_cast<std::size_t>(page)] = SeenPage{std::move(*bytes), false, std::nullopt};
    reached("page.afterWrite", sequence);
    if (retryOnEintr([&] { return ::fsync(state.get()); }) != 0)
      throw refuse.failed(errno, "fsync", kStateFile.name);
    reached("page.afterSync", sequence);
  }

  const Uuid profileID;
  const ErrorFactory refuse;
  const XrayDurableStateStore::FaultHook& fault;
  SeenPages& seen;
  ScopedFD root;
  FileLock lock;
  ScopedFD marker;
  ScopedFD state;
};

void XrayDurableStateWriter::write(const XrayDurableState& state) {
  if (state.profileID != files_.profileID)
    throw KorvelinCoreError::profileIdentifierMismatch();
  if (sequence_ == std::numeric_limits<std::uint64_t>::max())
    throw files_.refuse("the sequence number is exhausted");
  const std::uint64_t next = sequence_ + 1;
  files_.writePage(state, next, static_cast<int>(next % 2));
  files_.revalidate();
  const XrayStatePage back =
      readCurrent(files_.state.get(), files_.profileID, files_.refuse, &files_.seen);
  if (back.sequence != next || back.state != state)
    throw files_.refuse("reading back .xray-state gave sequence " + std::to_string(back.sequence) +
                        " instead of the record written as " + std::to_string(next));
  current_ = state;
  sequence_ = next;
}

struct XrayDurableStateStore::SeenPageMemory {
  std::map<Uuid, SeenPages> profiles;
};

XrayDurableStateStore::XrayDurableStateStore(FaultHook faultHook, RefusalReporter reportRefusal)
    : faultHook_(std::move(faultHook)),
      reportRefusal_(std::move(reportRefusal)),
      seenPages_(std::make_unique<SeenPageMemory>()) {}

XrayDurableStateStore::~XrayDurableStateStore() = default;

void XrayDurableStateStore::runLocked(const ProfilePaths& paths,
                                      bool allowBootstrap,
                                      const LockedBody& body) {
  std::lock_guard<std::mutex> guard(processLock_);
  XrayDurableStateWriter::Files files(paths.profileID(), reportRefusal_, faultHook_,
                                      seenPages_->profiles[paths.profileID()]);
  files.open(paths, allowBootstrap);
  XrayStatePage current =
      readCurrent(files.state.get(), files.profileID, files.refuse, &files.seen);
  XrayDurableStateWriter writer(files, current.state, current.sequence);
  // The body sees the record it started with, whatever it writes.
  body(current.state, writer);
}

std::optional<XrayDurableState> XrayDurableStateStore::read(const ProfilePaths& paths) {
  const std::string statePath = appendingPathComponent(paths.root(), kStateFileName);
  struct stat info {};
  if (::lstat(statePath.c_str(), &info) != 0 && errno == ENOENT)
    return std::nullopt;
  return withLockedState(
      paths, false,
      [](const XrayDurableState& current, XrayDurableStateWriter&) { return current; });
}

// ---------------------------------------------------------------------------
// Read-only access

namespace {

// Opens one file for reading, checks it and takes a shared lock without
// waiting.
FileLock openShared(int root, const ManagedFile& file, const ErrorFactory& refuse) {
  const std::string name(file.name);
  ScopedFD fd = PrivateFile::open(root, name, O_RDONLY);
  if (!fd)
    throw refuse.failed(errno, "open", name);
  validatePath(root, file, validate(fd.get(), file, true, refuse), refuse);
  FileLock opened(std::move(fd));
  lock(opened, FileLock::Mode::shared, FileLock::Wait::never, name, refuse);
  return opened;
}

}  // namespace

bool XrayDurableStateStore::isBusyRefusal(std::string_view detail) {
  return detail == "flock failed for " + std::string(kOperationLockFileName) + ": " +
                       platform::errorText(EWOULDBLOCK);
}

XrayDurableState XrayDurableStateStore::readOnly(const ProfilePaths& paths) const {
  const ErrorFactory refuse = refusalFor(paths.profileID(), reportRefusal_);
  const ScopedFD root = openManagedRoot(paths, refuse);
  try {
    SecureFileSystem::openChildDirectoryFD(root.get(), "logs", paths.logs(),
                                           MissingDirectories::fail,
                                           &KorvelinCoreError::unsafeProfilePath);
  } catch (const KorvelinCoreError& e) {
    throw refuse(e.detail());
  }
  const std::array<const ManagedFile*, 3> files = {&kLockFile, &kMarkerFile, &kStateFile};
  std::array<FileLock, 3> opened;
  for (std::size_t i = 0; i < files.size(); ++i)
    opened[i] = openShared(root.get(), *files[i], refuse);
  // An interrupted bootstrap holds the empty record it was about to write;
  // the next locked access writes it.
  XrayStatePage current = holdsOnlyZeroBytes(opened[2].fd())
                              ? XrayStatePage{0, XrayDurableState::emptyRecord(paths.profileID())}
                              : readCurrent(opened[2].fd(), paths.profileID(), refuse, nullptr);
  for (std::size_t i = 0; i < files.size(); ++i)
    validatePath(root.get(), *files[i], validate(opened[i].fd(), *files[i], true, refuse), refuse);
  return std::move(current.state);
}

}  // namespace korvelin
