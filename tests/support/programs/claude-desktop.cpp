// A stand-in for the Claude desktop executable of a Claude bundle. On start it
// records its arguments and environment as JSON in
// $CLAUDE_USER_DATA_DIR/standin.json; then, until a signal ends it, it looks
// every 20 ms for a file "open-url" there: it runs $BROWSER with the link that
// file holds, as the real application opens a sign-in link, and writes the
// browser's exit status and output to "browser-result".

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

void writeFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".tmp";
  std::ofstream(temporary) << text;
  std::rename(temporary.c_str(), path.c_str());
}

// Runs `browser url` with this process's environment; its exit status and
// what it printed.
nlohmann::json openInBrowser(const std::string& browser, const std::string& url) {
  int pipeFDs[2];
  if (::pipe(pipeFDs) != 0)
    return {{"error", "pipe"}};
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, pipeFDs[1], 1);
  ::posix_spawn_file_actions_addclose(&actions, pipeFDs[0]);
  std::vector<char*> argv = {const_cast<char*>(browser.c_str()), const_cast<char*>(url.c_str()),
                             nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, browser.c_str(), &actions, nullptr, argv.data(), environ);
  ::posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFDs[1]);
  std::string output;
  char buffer[512];
  for (ssize_t n; spawned == 0 && (n = ::read(pipeFDs[0], buffer, sizeof buffer)) > 0;)
    output.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFDs[0]);
  if (spawned != 0)
    return {{"error", "spawn"}};
  int status = 0;
  ::waitpid(pid, &status, 0);
  return {{"status", WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)},
          {"output", output}};
}

}  // namespace

int main(int argc, char** argv) {
  const char* dataDirectory = std::getenv("CLAUDE_USER_DATA_DIR");
  if (!dataDirectory)
    return 64;
  const std::string directory = dataDirectory;
  nlohmann::json record = {{"arguments", std::vector<std::string>(argv, argv + argc)},
                           {"environment", nlohmann::json::object()}};
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    const auto equals = text.find('=');
    record["environment"][text.substr(0, equals)] =
        equals == std::string::npos ? "" : text.substr(equals + 1);
  }
  writeFile(directory + "/standin.json", record.dump());

  const std::string request = directory + "/open-url";
  for (;;) {
    std::ifstream file(request);
    if (file) {
      std::stringstream url;
      url << file.rdbuf();
      file.close();
      ::unlink(request.c_str());
      const char* browser = std::getenv("BROWSER");
      writeFile(directory + "/browser-result", (browser ? openInBrowser(browser, url.str())
                                                        : nlohmann::json{{"error", "no BROWSER"}})
                                                   .dump());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}
