// A scripted stand-in for `codex app-server`, for what the real one never
// does. It works in $CODEX_HOME:
//   environment  written at start: its environment, one variable a line
//   received     every line it reads, appended as read
//   preamble     written at start, before reading anything
//   reply        written for every "account/rateLimits/read" request, with
//                each "$ID" replaced by the request's id as sent; without
//                this file (or with an empty one) it never answers
// In `preamble` and `reply`, "<PAUSE>" flushes what came before and waits
// 100 ms, so that the reader sees the bytes in separate reads. A file
// `behaviour` may hold one word:
//   flood                            1 MiB + 1 bytes without a line feed
//                                    after the preamble
//   exit-after-reply                 exit after the first reply
//   close-input-after-second-reply   close standard input, keep running
//   ignore-term                      SIGTERM ignored

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

extern char** environ;

namespace {

std::string home;

// The file's bytes; absent when there is no such file.
std::optional<std::string> readFile(const std::string& name) {
  std::ifstream in(home + "/" + name, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return in ? std::optional(content.str()) : std::nullopt;
}

void writeScripted(std::string text) {
  const std::string pause = "<PAUSE>";
  for (std::size_t at; (at = text.find(pause)) != std::string::npos;) {
    std::cout << text.substr(0, at) << std::flush;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    text.erase(0, at + pause.size());
  }
  std::cout << text << std::flush;
}

}  // namespace

int main() {
  const char* codexHome = std::getenv("CODEX_HOME");
  if (!codexHome)
    return 2;
  home = codexHome;
  {
    std::ofstream out(home + "/environment");
    for (char** entry = environ; *entry; ++entry)
      out << *entry << "\n";
  }
  const std::string behaviour = readFile("behaviour").value_or("");
  if (behaviour.starts_with("ignore-term"))
    ::signal(SIGTERM, SIG_IGN);
  writeScripted(readFile("preamble").value_or(""));
  if (behaviour.starts_with("flood"))
    std::cout << std::string((1 << 20) + 1, 'x') << std::flush;

  std::ofstream received(home + "/received", std::ios::app);
  int replies = 0;
  for (std::string line; std::getline(std::cin, line);) {
    received << line << "\n" << std::flush;
    const auto message = nlohmann::json::parse(line, nullptr, false);
    if (!message.is_object() || message.value("method", "") != "account/rateLimits/read")
      continue;
    std::string reply = readFile("reply").value_or("");
    if (reply.empty())
      continue;
    const std::string id = message.at("id").dump();
    for (std::size_t at; (at = reply.find("$ID")) != std::string::npos;)
      reply.replace(at, 3, id);
    writeScripted(reply);
    ++replies;
    if (behaviour.starts_with("exit-after-reply"))
      return 0;
    if (behaviour.starts_with("close-input-after-second-reply") && replies == 2)
      ::close(0);
  }
  // Standard input ended: wait for a signal, as a server that outlives its
  // client would.
  for (;;)
    ::pause();
}
