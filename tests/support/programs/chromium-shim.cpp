// Google Chrome for the tests: installed as "Google Chrome.app/Contents/MacOS/
// Google Chrome" of a bundle fixture, it runs Debian's Chromium with the
// command line it was given and stays the root of its process group until
// Chromium ends, then exits as Chromium did.
//
// It adds what only the test machine needs, never anything a profile could
// ask for: --no-sandbox (Chromium refuses to run as root without it; the
// option is reserved for profiles), --ozone-platform=headless (a whole
// browser without a screen, so that a second launch with the same
// --user-data-dir hands its URL to the running one), and a proxy bypass list
// that takes loopback out of Chromium's implicit bypass, so that pages of the
// tests' loopback servers go through the profile's proxy like any site.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::vector<std::string> arguments{"/usr/bin/chromium",
                                     "--no-sandbox",
                                     "--ozone-platform=headless",
                                     "--proxy-bypass-list=<-loopback>",
                                     "--no-first-run",
                                     "--no-default-browser-check",
                                     "--disable-gpu"};
  arguments.insert(arguments.end(), argv + 1, argv + argc);

  // The supervisor signals the whole group, Chromium included; the shim only
  // waits for Chromium to act on it, so that it is the last to go.
  sigset_t stop;
  ::sigemptyset(&stop);
  for (int signal : {SIGTERM, SIGINT, SIGHUP})
    ::sigaddset(&stop, signal);
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);

  const pid_t child = ::fork();
  if (child < 0)
    return 70;
  if (child == 0) {
    ::sigprocmask(SIG_UNBLOCK, &stop, nullptr);
    std::vector<char*> vector;
    for (auto& argument : arguments)
      vector.push_back(argument.data());
    vector.push_back(nullptr);
    ::execv(vector[0], vector.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0)
    if (errno != EINTR)
      return 70;
  if (WIFSIGNALED(status))
    return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
