#pragma once

#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "core/base/CoreError.h"

namespace korvelin::testing {

// The description of the error `call` throws, or absent when it returns. An
// error of another case than `expected` fails the test.
template <typename Call>
std::optional<std::string> thrownDescription(KorvelinCoreError::Case expected, Call&& call) {
  try {
    call();
    return std::nullopt;
  } catch (const KorvelinCoreError& e) {
    EXPECT_EQ(e.errorCase(), expected) << e.code();
    return e.errorDescription();
  }
}

// The case of the KorvelinCoreError `call` throws, or absent when it returns.
template <typename Call>
std::optional<KorvelinCoreError::Case> errorCaseOf(Call&& call) {
  try {
    call();
  } catch (const KorvelinCoreError& e) {
    return e.errorCase();
  }
  return std::nullopt;
}

}  // namespace korvelin::testing
