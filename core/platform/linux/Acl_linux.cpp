#if defined(__linux__)

#include <sys/stat.h>
#include <sys/xattr.h>

#include <cerrno>

#include "core/platform/Acl.h"
#include "core/platform/Eintr.h"

namespace korvelin::platform {

namespace {

constexpr const char* kAccessAcl = "system.posix_acl_access";
constexpr const char* kDefaultAcl = "system.posix_acl_default";

// A file system that cannot store POSIX ACLs cannot carry an extended entry.
bool meansNoAcl(int error) {
  return error == ENODATA || error == ENOTSUP;
}

// The kernel drops the access attribute when an ACL reduces to the mode bits,
// so its mere presence means extended entries. A default ACL on a directory
// hands entries to everything created inside it, so it counts as well.
template <typename Get>
AclReading readBoth(Get&& get) {
  for (const char* name : {kAccessAcl, kDefaultAcl}) {
    if (retryOnEintr([&] { return get(name); }) >= 0)
      return {AclState::granting, 0};
    if (!meansNoAcl(errno))
      return {AclState::inspectionFailed, errno};
  }
  return {AclState::none, 0};
}

}  // namespace

AclReading readExtendedAcl(int fd, bool) {
  return readBoth([fd](const char* name) { return ::fgetxattr(fd, name, nullptr, 0); });
}

AclReading readExtendedAclOfEntry(const std::string& path, bool) {
  return readBoth(
      [&path](const char* name) { return ::lgetxattr(path.c_str(), name, nullptr, 0); });
}

AclClearing clearExtendedAcl(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0)
    return {AclClearState::setFailed, errno};
  for (const char* name : {kAccessAcl, kDefaultAcl}) {
    if (name == kDefaultAcl && !S_ISDIR(info.st_mode))
      break;
    if (retryOnEintr([&] { return ::fremovexattr(fd, name); }) != 0 && !meansNoAcl(errno))
      return {AclClearState::setFailed, errno};
  }
  return {AclClearState::cleared, 0};
}

}  // namespace korvelin::platform

#endif  // __linux__
