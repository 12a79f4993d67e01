#include "cli/Command.h"

#include <charconv>
#include <iostream>

#include <nlohmann/json.hpp>

namespace korvelin::cli {

namespace {
std::vector<CommandSpec>& registry() {
  static std::vector<CommandSpec> commands;
  return commands;
}
}  // namespace

Registration::Registration(CommandSpec spec) { registry().push_back(std::move(spec)); }

const std::vector<CommandSpec>& registeredCommands() { return registry(); }

void printJson(const nlohmann::json& value) {
  std::cout << value.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
}

int fail(const std::string& message, int status) {
  std::cerr << "korvelin: " << message << '\n';
  return status;
}

std::optional<int> parseProcessIdentifier(const std::string& text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < 1 ||
      text.front() == '+' || text.front() == '-')
    return std::nullopt;
  return value;
}

}  // namespace korvelin::cli
