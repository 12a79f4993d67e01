// deny-syscall CALL PROGRAM [ARGUMENT...]
//
// Runs PROGRAM with one kind of system call failing with EACCES, to reach
// failure paths that a healthy system never takes. CALL is one of:
//   socket, listen, chmod (chmod and fchmodat),
//   lstat (lstat, and fstatat with exactly AT_SYMLINK_NOFOLLOW: the dynamic
//          loader's fstat calls pass other flags and keep working).
// Exits 77 where the filter is not available (not x86-64).

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

int main(int argc, char** argv) {
#if defined(__x86_64__)
  if (argc < 3) {
    std::fprintf(stderr, "usage: deny-syscall CALL PROGRAM [ARGUMENT...]\n");
    return 2;
  }
  const std::map<std::string, std::vector<unsigned>> plainCalls = {
      {"socket", {SYS_socket}},
      {"listen", {SYS_listen}},
      {"chmod", {SYS_chmod, SYS_fchmodat}},
      {"lstat", {SYS_lstat}},
  };
  const std::string call = argv[1];
  auto found = plainCalls.find(call);
  if (found == plainCalls.end()) {
    std::fprintf(stderr, "deny-syscall: unknown call %s\n", argv[1]);
    return 2;
  }

  const sock_filter deny =
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA));
  const sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
  std::vector<sock_filter> filter = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      allow,
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
  };
  for (unsigned number : found->second) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, number, 0, 1));
    filter.push_back(deny);
  }
  if (call == "lstat") {
    // Last, since it replaces the system call number in the accumulator.
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_newfstatat, 0, 3));
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[3])));
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AT_SYMLINK_NOFOLLOW, 0, 1));
    filter.push_back(deny);
  }
  filter.push_back(allow);

  sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    std::perror("deny-syscall: seccomp");
    return 2;
  }
  ::execv(argv[2], argv + 2);
  std::perror("deny-syscall: exec");
  return 127;
#else
  (void)argc;
  (void)argv;
  return 77;
#endif
}
