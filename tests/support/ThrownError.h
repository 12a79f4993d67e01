#pragma once

#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "core/base/CoreError.h"

namespace korvelin {

// How a failed expectation shows an error: its code and description.
inline void PrintTo(const KorvelinCoreError& error, std::ostream* out) {
  *out << error.code() << ": " << error.errorDescription();
}

}  // namespace korvelin

namespace korvelin::testing {

// The KorvelinCoreError `call` throws, or absent when it returns.
template <typename Call>
std::optional<KorvelinCoreError> thrownError(Call&& call) {
  try {
    call();
  } catch (const KorvelinCoreError& e) {
    return e;
  }
  return std::nullopt;
}

// The case of the KorvelinCoreError `call` throws, or absent when it returns.
template <typename Call>
std::optional<KorvelinCoreError::Case> errorCaseOf(Call&& call) {
  const auto error = thrownError(call);
  return error ? std::optional(error->errorCase()) : std::nullopt;
}

// The same, of a case `expected`: another case fails the test.
template <typename Call>
std::optional<KorvelinCoreError> thrownError(KorvelinCoreError::Case expected, Call&& call) {
  auto error = thrownError(call);
  if (error) {
    EXPECT_EQ(error->errorCase(), expected) << error->code();
  }
  return error;
}

// The description (or the detail) of the error of case `expected` that
// `call` throws, or absent when it returns.
template <typename Call>
std::optional<std::string> thrownDescription(KorvelinCoreError::Case expected, Call&& call) {
  const auto error = thrownError(expected, call);
  return error ? std::optional(error->errorDescription()) : std::nullopt;
}
template <typename Call>
std::optional<std::string> thrownDetail(KorvelinCoreError::Case expected, Call&& call) {
  const auto error = thrownError(expected, call);
  return error ? std::optional(error->detail()) : std::nullopt;
}

}  // namespace korvelin::testing
