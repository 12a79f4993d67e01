#include "core/host/HostProtocol.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "core/base/EnumNames.h"

namespace korvelin {
namespace {

constexpr EnumNames<HostOperation, 7> kOperationNames{{
    {HostOperation::ps, "ps"},
    {HostOperation::run, "run"},
    {HostOperation::stop, "stop"},
    {HostOperation::proxyStart, "proxyStart"},
    {HostOperation::proxyStop, "proxyStop"},
    {HostOperation::launch, "launch"},
    {HostOperation::lease, "lease"},
}};

struct Refusal {
  std::string reason;
};

// The keys each operation takes: required first, then optional.
struct Shape {
  std::vector<std::string_view> required;
  std::vector<std::string_view> optional;
};

Shape shapeOf(HostOperation operation) {
  switch (operation) {
    case HostOperation::ps:
    case HostOperation::lease:
      return {{"operation"}, {}};
    case HostOperation::run:
      return {{"operation", "profile", "program", "arguments", "environment", "wait"}, {}};
    case HostOperation::stop:
      return {{"operation", "profile", "timeout"}, {}};
    case HostOperation::proxyStart:
      return {{"operation", "profile", "link", "engine", "guardian", "probeURL"}, {"connection"}};
    case HostOperation::proxyStop:
      return {{"operation", "profile"}, {}};
    case HostOperation::launch:
      return {{"operation", "profile", "engine", "guardian", "probeURL", "browserShim", "wait"},
              {}};
  }
  return {};
}

const nlohmann::json& member(const nlohmann::json& object, std::string_view key) {
  return object.at(std::string(key));
}

std::string text(const nlohmann::json& object, std::string_view key) {
  const auto& value = member(object, key);
  if (!value.is_string())
    throw Refusal{std::string(key) + " must be a string"};
  return value.get<std::string>();
}

Uuid uuid(const nlohmann::json& object, std::string_view key) {
  auto parsed = Uuid::parse(text(object, key));
  if (!parsed)
    throw Refusal{std::string(key) + " must be a UUID"};
  return *parsed;
}

std::string absolutePath(const nlohmann::json& object,
                         std::string_view key,
                         bool emptyAllowed = false) {
  auto path = text(object, key);
  if (emptyAllowed && path.empty())
    return path;
  if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos)
    throw Refusal{std::string(key) + " must be an absolute path"};
  return path;
}

bool flag(const nlohmann::json& object, std::string_view key) {
  const auto& value = member(object, key);
  if (!value.is_boolean())
    throw Refusal{std::string(key) + " must be true or false"};
  return value.get<bool>();
}

// Text that a child's argument vector or environment can carry.
bool carriable(std::string_view value) {
  return value.find('\0') == std::string_view::npos;
}

HostRequest decode(const nlohmann::json& object) {
  if (!object.is_object())
    throw Refusal{"a request is one JSON object"};
  if (!object.contains("operation"))
    throw Refusal{"operation is missing"};
  const auto operation = kOperationNames.value(text(object, "operation"));
  if (!operation)
    throw Refusal{"unknown operation"};
  const Shape shape = shapeOf(*operation);
  for (const auto& item : object.items()) {
    const std::string& key = item.key();
    const auto known = [&](const std::vector<std::string_view>& keys) {
      return std::find(keys.begin(), keys.end(), key) != keys.end();
    };
    if (!known(shape.required) && !known(shape.optional))
      throw Refusal{"unexpected key " + key};
  }
  for (auto key : shape.required)
    if (!object.contains(std::string(key)))
      throw Refusal{std::string(key) + " is missing"};

  HostRequest request;
  request.operation = *operation;
  if (*operation != HostOperation::ps && *operation != HostOperation::lease)
    request.profileID = uuid(object, "profile");
  switch (*operation) {
    case HostOperation::ps:
    case HostOperation::lease:
    case HostOperation::proxyStop:
      break;
    case HostOperation::run: {
      request.program = absolutePath(object, "program");
      const auto& arguments = member(object, "arguments");
      if (!arguments.is_array() || arguments.size() > kMaxHostArguments)
        throw Refusal{"arguments must be a list of at most 1024 strings"};
      for (const auto& argument : arguments) {
        if (!argument.is_string() || !carriable(argument.get_ref<const std::string&>()))
          throw Refusal{"arguments must be a list of at most 1024 strings"};
        request.arguments.push_back(argument.get<std::string>());
      }
      const auto& environment = member(object, "environment");
      if (!environment.is_object() || environment.size() > kMaxHostEnvironment)
        throw Refusal{"environment must be an object of at most 256 strings"};
      for (const auto& [name, value] : environment.items()) {
        if (!value.is_string() || name.empty() || name.find('=') != std::string::npos ||
            !carriable(name) || !carriable(value.get_ref<const std::string&>()))
          throw Refusal{"environment must map names without '=' to strings"};
        request.environment.emplace(name, value.get<std::string>());
      }
      request.wait = flag(object, "wait");
      break;
    }
    case HostOperation::stop: {
      const auto& timeout = member(object, "timeout");
      if (!timeout.is_number() || !std::isfinite(timeout.get<double>()) ||
          !(timeout.get<double>() > 0) || timeout.get<double>() > 3600)
        throw Refusal{"timeout must be a number of seconds above 0 and at most 3600"};
      request.timeout = timeout.get<double>();
      break;
    }
    case HostOperation::proxyStart:
      request.link = text(object, "link");
      if (object.contains("connection"))
        request.connectionID = uuid(object, "connection");
      request.engine = absolutePath(object, "engine");
      request.guardian = absolutePath(object, "guardian");
      request.probeURL = text(object, "probeURL");
      break;
    case HostOperation::launch:
      request.engine = absolutePath(object, "engine", true);
      request.guardian = absolutePath(object, "guardian", true);
      request.probeURL = text(object, "probeURL");
      request.browserShim = absolutePath(object, "browserShim", true);
      request.wait = flag(object, "wait");
      break;
  }
  return request;
}

}  // namespace

std::variant<HostRequest, std::string> parseHostRequest(std::string_view line) {
  if (line.size() >= kMaxHostRequestBytes)
    return std::string("request too large");
  auto object = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (object.is_discarded())
    return std::string("request is not JSON");
  try {
    return decode(object);
  } catch (const Refusal& refusal) {
    return refusal.reason;
  }
}

nlohmann::json encodeHostRequest(const HostRequest& request) {
  nlohmann::json object{{"operation", kOperationNames.name(request.operation)}};
  if (request.operation != HostOperation::ps && request.operation != HostOperation::lease)
    object["profile"] = request.profileID.uppercaseString();
  switch (request.operation) {
    case HostOperation::ps:
    case HostOperation::lease:
    case HostOperation::proxyStop:
      break;
    case HostOperation::run:
      object["program"] = request.program;
      object["arguments"] = request.arguments;
      object["environment"] = request.environment;
      object["wait"] = request.wait;
      break;
    case HostOperation::stop:
      object["timeout"] = request.timeout;
      break;
    case HostOperation::proxyStart:
      object["link"] = request.link;
      if (request.connectionID)
        object["connection"] = request.connectionID->uppercaseString();
      object["engine"] = request.engine;
      object["guardian"] = request.guardian;
      object["probeURL"] = request.probeURL;
      break;
    case HostOperation::launch:
      object["engine"] = request.engine;
      object["guardian"] = request.guardian;
      object["probeURL"] = request.probeURL;
      object["browserShim"] = request.browserShim;
      object["wait"] = request.wait;
      break;
  }
  return object;
}

nlohmann::json hostErrorReply(std::string_view message, std::string_view code) {
  return {{"event", "error"}, {"message", message}, {"code", code}};
}

}  // namespace korvelin
