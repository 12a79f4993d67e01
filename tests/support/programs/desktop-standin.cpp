// A stand-in for the desktop executable of a Claude or a Codex bundle, doing
// with a profile what the real application does.
//
// Claude, when CLAUDE_USER_DATA_DIR is set: on start it creates the file
// "started" there; then, until a signal ends it, it looks every 20 ms for a file "open-url"
// there: it runs $BROWSER with the link that file holds, as the real
// application opens a sign-in link, and writes the browser's exit status and
// output to "browser-result".
//
// Codex otherwise: it starts a Chromium browser on the --user-data-dir it was
// given (which creates the Singleton* links there) and the bundle's Codex
// backend, `codex app-server`, with the CODEX_HOME of its environment (which
// fills that directory). It stays the root of its process group until a
// signal ends it; its children go with the group. Both children are kept off
// the network whatever proxy the stand-in itself was given: their proxy
// settings point at a closed loopback port. For tests of a bundle that
// changes while it runs: when the bundle holds
// "Contents/Resources/change-bundle-on-start", the stand-in first moves its
// own executable's modification time, before it starts anything.

#include <fcntl.h>
#include <limits.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

constexpr const char* kClosedProxy = "http://127.0.0.1:9";

// Starts `command` with `environment`, `input` (when not negative) as its
// standard input and `output` (likewise) as its standard output.
pid_t spawn(const std::vector<std::string>& command,
            const std::vector<std::string>& environment,
            int input,
            int output) {
  std::vector<char*> argv, envp;
  for (const auto& argument : command)
    argv.push_back(const_cast<char*>(argument.c_str()));
  for (const auto& entry : environment)
    envp.push_back(const_cast<char*>(entry.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (input >= 0)
    ::posix_spawn_file_actions_adddup2(&actions, input, 0);
  if (output >= 0)
    ::posix_spawn_file_actions_adddup2(&actions, output, 1);
  pid_t pid = -1;
  if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
    pid = -1;
  ::posix_spawn_file_actions_destroy(&actions);
  return pid;
}

void writeFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  std::ofstream(temporary) << text;
  std::rename(temporary.c_str(), path.c_str());
}

// Runs `browser url` with `environment`; its exit status and what it printed.
nlohmann::json openInBrowser(const std::string& browser,
                             const std::string& url,
                             const std::vector<std::string>& environment) {
  int pipeFDs[2];
  if (::pipe2(pipeFDs, O_CLOEXEC) != 0)
    return {{"error", "pipe"}};
  const pid_t pid = spawn({browser, url}, environment, -1, pipeFDs[1]);
  ::close(pipeFDs[1]);
  std::string output;
  char buffer[512];
  for (ssize_t n; pid > 0 && (n = ::read(pipeFDs[0], buffer, sizeof buffer)) > 0;)
    output.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFDs[0]);
  if (pid < 0)
    return {{"error", "spawn"}};
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {{"status", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)},
          {"output", output}};
}

int claude(const std::string& directory, const std::vector<std::string>& environment) {
  writeFile(directory + "/started", "");

  const std::string request = directory + "/open-url";
  for (;;) {
    std::ifstream file(request);
    if (file) {
      std::stringstream url;
      url << file.rdbuf();
      file.close();
      ::unlink(request.c_str());
      const char* browser = std::getenv("BROWSER");
      writeFile(directory + "/browser-result",
                (browser ? openInBrowser(browser, url.str(), environment)
                         : nlohmann::json{{"error", "no BROWSER"}})
                    .dump());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

int codex(const std::vector<std::string>& arguments, std::vector<std::string> environment) {
  std::string userData;
  for (const auto& argument : arguments)
    if (argument.rfind("--user-data-dir=", 0) == 0)
      userData = argument.substr(16);
  char self[PATH_MAX] = {};
  const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (userData.empty() || length <= 0 || !std::getenv("CODEX_HOME"))
    return 2;
  // <bundle>/Contents/MacOS/<name> -> <bundle>/Contents/Resources/codex
  std::string contents(self, static_cast<std::size_t>(length));
  contents = contents.substr(0, contents.rfind('/'));
  contents = contents.substr(0, contents.rfind('/'));
  if (::access((contents + "/Resources/change-bundle-on-start").c_str(), F_OK) == 0) {
    const timespec times[2] = {{0, UTIME_OMIT}, {1, 0}};
    if (::utimensat(AT_FDCWD, self, times, 0) != 0)
      return 5;
  }

  std::erase_if(environment, [](const std::string& entry) {
    const std::string name = entry.substr(0, entry.find('='));
    return name == "HTTP_PROXY" || name == "HTTPS_PROXY" || name == "ALL_PROXY" ||
           name == "NO_PROXY";
  });
  for (const char* name : {"HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY"})
    environment.push_back(std::string(name) + "=" + kClosedProxy);

  // The backend answers on standard input until it reads its end, which
  // comes when this process ends.
  int input[2];
  if (::pipe2(input, O_CLOEXEC) != 0)
    return 3;
  const pid_t backend =
      spawn({contents + "/Resources/codex", "app-server"}, environment, input[0], -1);
  const pid_t browser =
      spawn({"/usr/bin/chromium", "--no-sandbox", "--headless=new", "--user-data-dir=" + userData,
             "--no-first-run", std::string("--proxy-server=") + kClosedProxy,
             "--disable-background-networking", "--disable-gpu", "about:blank"},
            environment, -1, -1);
  if (backend < 0 || browser < 0)
    return 4;
  for (;;)
    if (::waitpid(-1, nullptr, 0) < 0 && errno == ECHILD)
      ::pause();
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv, argv + argc);
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry)
    environment.emplace_back(*entry);
  if (const char* claudeData = std::getenv("CLAUDE_USER_DATA_DIR"))
    return claude(claudeData, environment);
  return codex(arguments, environment);
}
