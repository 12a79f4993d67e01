#if defined(__APPLE__)

#include <sys/acl.h>

#include <cerrno>

#include "core/platform/Acl.h"

namespace korvelin::platform {

namespace {

// `acl` came from acl_get_*_np with errno cleared beforehand.
AclReading classifyAcl(acl_t acl, bool classify) {
  if (!acl) {
    if (errno == ENOENT)
      return {AclState::none, 0};
    return {AclState::inspectionFailed, errno};
  }
  if (!classify) {
    acl_free(acl);
    return {AclState::granting, 0};
  }
  char* text = acl_to_text(acl, nullptr);
  if (!text) {
    int error = errno;
    acl_free(acl);
    return {AclState::serializationFailed, error};
  }
  bool denyOnly = aclTextIsDenyOnly(text);
  acl_free(text);
  acl_free(acl);
  return {denyOnly ? AclState::denyOnly : AclState::granting, 0};
}

}  // namespace

AclReading readExtendedAcl(int fd, bool classify) {
  errno = 0;
  return classifyAcl(acl_get_fd_np(fd, ACL_TYPE_EXTENDED), classify);
}

AclReading readExtendedAclOfEntry(const std::string& path, bool classify) {
  errno = 0;
  return classifyAcl(acl_get_link_np(path.c_str(), ACL_TYPE_EXTENDED), classify);
}

AclClearing clearExtendedAcl(int fd) {
  acl_t empty = acl_init(0);
  if (!empty)
    return {AclClearState::allocationFailed, errno};
  AclClearing result{AclClearState::cleared, 0};
  if (acl_set_fd_np(fd, empty, ACL_TYPE_EXTENDED) != 0)
    result = {AclClearState::setFailed, errno};
  acl_free(empty);
  return result;
}

}  // namespace korvelin::platform

#endif  // __APPLE__
