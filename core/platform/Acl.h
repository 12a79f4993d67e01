#pragma once

// Extended access control lists of open files and directory entries. The
// shared code turns these readings into refusals; each OS file only reads.
//   macOS: ACL_TYPE_EXTENDED through acl_get_fd_np / acl_get_link_np, entries
//          classified from acl_to_text (allow and deny entries exist).
//   Linux: POSIX ACLs, stored in the "system.posix_acl_access" and (on
//          directories) "system.posix_acl_default" attributes. They have no
//          deny entries, so every extended entry is reported as `granting`.

#include <string>
#include <string_view>

namespace korvelin::platform {

enum class AclState {
  none,                 // no extended entry at all
  denyOnly,             // entries exist, and every one of them only denies
  granting,             // at least one entry may grant access
  inspectionFailed,     // the ACL could not be read; `error` holds errno
  serializationFailed,  // the ACL could not be turned into text; `error` holds errno
};

struct AclReading {
  AclState state = AclState::none;
  int error = 0;
};

// With `classify` false an ACL that exists is reported as `granting` without
// looking at its entries (the strict checks refuse any entry anyway).
AclReading readExtendedAcl(int fd, bool classify);
// The ACL of the entry itself; a symbolic link is never followed.
AclReading readExtendedAclOfEntry(const std::string& path, bool classify);

// The deny-only rule on an ACL's text form: header lines ("!#acl ...") and
// empty lines are ignored; every other line must contain ":deny:" and must
// not contain ":allow:". True for a text without entries.
bool aclTextIsDenyOnly(std::string_view text);

enum class AclClearState {
  cleared,
  allocationFailed,  // no empty ACL could be allocated
  setFailed,         // the empty ACL could not be set; `error` holds errno
};

struct AclClearing {
  AclClearState state = AclClearState::cleared;
  int error = 0;
};

// Removes every extended entry of an open file or directory (on Linux also a
// directory's inheritable default ACL).
AclClearing clearExtendedAcl(int fd);

}  // namespace korvelin::platform
