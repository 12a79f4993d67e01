// A stand-in for the ChatGPT desktop executable of a Codex bundle, doing what
// the real one does with a profile: it starts a Chromium browser on the
// --user-data-dir it was given (which creates the Singleton* links there) and
// the bundle's Codex backend, `codex app-server`, with the CODEX_HOME of its
// environment (which fills that directory). It stays the root of its process
// group until a signal ends it; its children go with the group.
//
// For tests of a bundle that changes while it runs: when the bundle holds
// "Contents/Resources/change-bundle-on-start", the stand-in first moves its
// own executable's modification time, before it starts anything.
//
// Both children are kept off the network whatever proxy the stand-in itself
// was given: their proxy settings point at a closed loopback port.

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

constexpr const char* kClosedProxy = "http://127.0.0.1:9";

pid_t spawn(const std::string& program,
            const std::vector<std::string>& arguments,
            const std::vector<std::string>& environment,
            int standardInput) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& entry : environment)
    envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (standardInput >= 0)
    ::posix_spawn_file_actions_adddup2(&actions, standardInput, 0);
  pid_t pid = -1;
  if (::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
    pid = -1;
  ::posix_spawn_file_actions_destroy(&actions);
  return pid;
}

}  // namespace

int main(int argc, char** argv) {
  std::string userData;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--user-data-dir=", 0) == 0)
      userData = argument.substr(16);
  }
  char self[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  const char* codexHome = std::getenv("CODEX_HOME");
  if (userData.empty() || length <= 0 || !codexHome)
    return 2;
  // <bundle>/Contents/MacOS/<name> -> <bundle>/Contents/Resources/codex
  std::string contents(self, static_cast<std::size_t>(length));
  contents = contents.substr(0, contents.rfind('/'));
  contents = contents.substr(0, contents.rfind('/'));
  const std::string backend = contents + "/Resources/codex";
  if (::access((contents + "/Resources/change-bundle-on-start").c_str(), F_OK) == 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
    if (::utimensat(AT_FDCWD, self, times, 0) != 0)
      return 5;
  }

  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (name != "HTTP_PROXY" && name != "HTTPS_PROXY" && name != "ALL_PROXY" && name != "NO_PROXY")
      environment.push_back(text);
  }
  for (const char* name : {"HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
    environment.push_back(std::string(name) + "=" + kClosedProxy);

  // The backend answers on standard input until it reads its end, which
  // comes when this process ends.
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0)
    return 3;
  const pid_t codex = spawn(backend, {"app-server"}, environment, input[0]);
  const pid_t browser = spawn("/usr/bin/chromium",
                              {"--no-sandbox", "--headless=new", "--user-data-dir=" + userData,
                               "--no-first-run", std::string("--proxy-server=") + kClosedProxy,
                               "--disable-background-networking", "--disable-gpu", "about:blank"},
                              environment, -1);
  if (codex < 0 || browser < 0)
    return 4;
  for (;;)
    if (::waitpid(-1, nullptr, 0) < 0 && errno == ECHILD)
      ::pause();
}
