#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "lumen/BGLibError.h"
#include "lumen/Errors.h"

namespace lumen::testing {

// How a call ended, as the application can tell.
struct Outcome {
  std::string type;  // "none", "BGLibError", "KesBluetoothSDKLibError" or "std::exception"
  std::string what;
  int code = 0;
};

template <class Call>
Outcome OutcomeOf(Call&& call) {
  try {
    call();
  } catch (const details::BGLibError& e) {
    return {"BGLibError", e.what(), e.code()};
  } catch (const details::KesBluetoothSDKLibError& e) {
    return {"KesBluetoothSDKLibError", e.what(), e.code()};
  } catch (const std::exception& e) {
    return {"std::exception", e.what(), 0};
  }
  return {"none", "", 0};
}

// What the call threw, or "no error".
template <class Call>
std::string ErrorText(Call&& call) {
  const Outcome outcome = OutcomeOf(call);
  return outcome.type == "none" ? "no error" : outcome.what;
}

inline void ExpectRadioError(const Outcome& outcome, const std::string& text, int code) {
  EXPECT_EQ(outcome.type, "BGLibError") << outcome.what;
  EXPECT_THAT(outcome.what, ::testing::StartsWith(text + " (Error: " + std::to_string(code) + ")"));
  EXPECT_EQ(outcome.code, code);
}

// The library's own error (not a radio's), with this text and code.
inline void ExpectLibraryError(const Outcome& outcome, const std::string& text, int code) {
  EXPECT_EQ(outcome.type, "KesBluetoothSDKLibError") << outcome.what;
  EXPECT_EQ(outcome.what, text);
  EXPECT_EQ(outcome.code, code);
}

}  // namespace lumen::testing
