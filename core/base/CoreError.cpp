#include "core/base/CoreError.h"

#include <array>
#include <vector>

#include "core/platform/FileUtil.h"

namespace korvelin {

namespace {

#define KORVELIN_NAME(name, kind, text) #name,
constexpr std::array<std::string_view, KorvelinCoreError::kCaseCount> kCodes = {
    KORVELIN_CORE_ERROR_CASES(KORVELIN_NAME)};
#undef KORVELIN_NAME

#define KORVELIN_TEXT(name, kind, text) text,
constexpr std::array<std::string_view, KorvelinCoreError::kCaseCount> kTexts = {
    KORVELIN_CORE_ERROR_CASES(KORVELIN_TEXT)};
#undef KORVELIN_TEXT

// The pieces of a payload, in the order the description shows them.
struct Pieces {
  std::vector<std::string> operator()(std::monostate) const { return {}; }
  std::vector<std::string> operator()(const std::string& detail) const { return {detail}; }
  std::vector<std::string> operator()(const Uuid& id) const { return {id.uppercaseString()}; }
  std::vector<std::string> operator()(const std::pair<std::string, std::string>& p) const {
    return {p.first, p.second};
  }
  std::vector<std::string> operator()(const std::pair<std::string, std::int32_t>& p) const {
    return {p.first, std::to_string(p.second)};
  }
  std::vector<std::string> operator()(std::int32_t) const { return {}; }
};

// One pass over the text: a "{}" inside a piece is never replaced.
std::string describe(std::string_view text, const std::vector<std::string>& pieces) {
  std::string result;
  std::size_t next = 0;
  for (std::size_t at = text.find("{}"); at != std::string_view::npos; at = text.find("{}")) {
    result += text.substr(0, at);
    if (next < pieces.size())
      result += pieces[next++];
    text.remove_prefix(at + 2);
  }
  return result += text;
}

}  // namespace

KorvelinCoreError::KorvelinCoreError(Case errorCase, Payload payload)
    : case_(errorCase), payload_(std::move(payload)) {
  description_ = describe(kTexts[static_cast<std::size_t>(case_)], std::visit(Pieces{}, payload_));
}

const std::string& KorvelinCoreError::detail() const noexcept {
  static const std::string empty;
  const auto* text = std::get_if<std::string>(&payload_);
  return text ? *text : empty;
}

std::string_view KorvelinCoreError::codeOf(Case errorCase) noexcept {
  return kCodes[static_cast<std::size_t>(errorCase)];
}

#define KORVELIN_DEFINE_Text(name)                                \
  KorvelinCoreError KorvelinCoreError::name(std::string detail) { \
    return KorvelinCoreError(Case::name, std::move(detail));      \
  }
#define KORVELIN_DEFINE_Id(name)                                     \
  KorvelinCoreError KorvelinCoreError::name(const Uuid& profileID) { \
    return KorvelinCoreError(Case::name, profileID);                 \
  }
#define KORVELIN_DEFINE_VersionPair(name)                                                    \
  KorvelinCoreError KorvelinCoreError::name(std::string marketing, std::string build) {      \
    return KorvelinCoreError(Case::name, std::pair{std::move(marketing), std::move(build)}); \
  }
#define KORVELIN_DEFINE_OperationStatus(name)                                             \
  KorvelinCoreError KorvelinCoreError::name(std::string operation, std::int32_t status) { \
    return KorvelinCoreError(Case::name, std::pair{std::move(operation), status});        \
  }
#define KORVELIN_DEFINE_Status(name)                               \
  KorvelinCoreError KorvelinCoreError::name(std::int32_t status) { \
    return KorvelinCoreError(Case::name, status);                  \
  }
#define KORVELIN_DEFINE_None(name)                          \
  KorvelinCoreError KorvelinCoreError::name() {             \
    return KorvelinCoreError(Case::name, std::monostate{}); \
  }
#define KORVELIN_DEFINE(name, kind, text) KORVELIN_DEFINE_##kind(name)
KORVELIN_CORE_ERROR_CASES(KORVELIN_DEFINE)

}  // namespace korvelin

namespace korvelin {

ErrorFactory::ErrorFactory(KorvelinCoreError (*textCase)(std::string detail))
    : make_([textCase](const std::string& detail) { return textCase(detail); }) {}

ErrorFactory ErrorFactory::always(KorvelinCoreError error,
                                  std::function<void(const std::string&)> report) {
  return ErrorFactory(
      [error = std::move(error), report = std::move(report)](const std::string& detail) {
        if (report)
          report(detail);
        return error;
      });
}

KorvelinCoreError ErrorFactory::failed(int errnum,
                                       std::string_view step,
                                       std::string_view subject) const {
  return make_(failureDetail(errnum, step, subject));
}

std::string failureDetail(int errnum, std::string_view step, std::string_view subject) {
  std::string detail(step);
  detail += " failed for ";
  detail += subject;
  detail += ": ";
  detail += platform::errorText(errnum);
  return detail;
}

}  // namespace korvelin
