// A launched program that reports what it was given. Usage:
//   probe-child REPORT-PATH [SECONDS]
// Writes to REPORT-PATH (created exclusively, so the file's existence proves
// the program ran): its arguments, its open descriptors and its environment,
// one per line with prefixes "arg ", "fd ", "env ". Then sleeps SECONDS
// (default 0) and exits 0.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

int main(int argc, char** argv) {
  if (argc < 2)
    return 2;
  std::string report;
  for (int i = 0; i < argc; ++i)
    report += std::string("arg ") + argv[i] + "\n";
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own)
        report += std::string("fd ") + entry->d_name + "\n";
    ::closedir(dir);
  }
  for (char** e = environ; *e; ++e)
    report += std::string("env ") + *e + "\n";
  int fd = ::open(argv[1], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    return 3;
  if (::write(fd, report.data(), report.size()) != static_cast<ssize_t>(report.size()))
    return 4;
  ::close(fd);
  if (argc > 2)
    ::sleep(static_cast<unsigned>(std::atoi(argv[2])));
  return 0;
}
