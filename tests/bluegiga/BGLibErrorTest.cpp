#include "lumen/BGLibError.h"

#include <gtest/gtest.h>

#include <string>

#include "core/Checks.h"

namespace lumen::details {
namespace {

TEST(BGLibErrorTest, WhatJoinsMessageCodeAndCodeTextWithoutExtraSpaces) {
  const BGLibError error("ble_cmd_system_get_connections", 0x0181);
  EXPECT_STREQ(error.what(), "ble_cmd_system_get_connections (Error: 385) : Device in Wrong State");
  EXPECT_EQ(error.code(), 0x0181);
}

TEST(BGLibErrorTest, LibraryCodesWithoutTextRenderAsUnknownError) {
  EXPECT_STREQ(BGLibError("read failed", kErrorGeneral).what(), "read failed (Error: 36865) : Unknown error");
  EXPECT_STREQ(BGLibError("read failed", kErrorInvalidHandle).what(), "read failed (Error: 36866) : Unknown error");
  EXPECT_STREQ(BGLibError("read failed", kErrorUnexpectedDisconnect).what(),
               "read failed (Error: 36864) : Unexpected disconnect");
  EXPECT_STREQ(BGLibError("x", 0).what(), "x (Error: 0) : Unknown error");
}

TEST(BGLibErrorTest, CodeIsPrintedAndLookedUpAsSixteenBitsButKeptWhole) {
  const BGLibError error("m", 0x10401);
  EXPECT_STREQ(error.what(), "m (Error: 1025) : Invalid Handle");
  EXPECT_EQ(error.code(), 0x10401);
  EXPECT_STREQ(BGLibError("m", -1).what(), "m (Error: 65535) : Unknown error");
}

TEST(BGLibErrorTest, EveryResultCodeHasItsText) {
  const std::pair<int, const char*> texts[] = {
      {0x0180, "Invalid Parameter"},
      {0x0185, "Timeout"},
      {0x0189, "Unknown error"},  // no text of its own
      {0x018A, "Command Too Long"},
      {0x018B, "Out of Bonds"},
      {0x0206, "Pin or Key Missing"},
      {0x0213, "Remote User Terminated Connection"},
      {0x0216, "Connection Terminated by Local Host"},
      {0x023D, "MIC Failure"},
      {0x023E, "Connection Failed to be Established"},
      {0x0302, "OOB Data is not available"},
      {0x030A, "Invalid Parameters"},
      {0x0405, "Insufficient Authentication"},
      {0x040A, "Attribute Not Found"},
      {0x0411, "Insufficient Resources"},
      {0x0480, "Application Error Codes"},
  };
  for (const auto& [code, text] : texts) {
    EXPECT_STREQ(BGLibError::CodeText(code), text) << code;
  }
}

TEST(BGLibErrorTest, IsCaughtAsTheLibraryErrorAndKeepsItsTextWhenCopied) {
  try {
    ThrowIfFalse<BGLibError>(false, "ble_cmd_gap_discover failed");
    FAIL() << "no exception";
  } catch (const KesBluetoothSDKLibError& e) {
    EXPECT_EQ(e.code(), kErrorGeneral);
    EXPECT_STREQ(e.what(), "ble_cmd_gap_discover failed (Error: 36865) : Unknown error");
  }
  const BGLibError original("copy", 0x0186);
  const BGLibError copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
  EXPECT_STREQ(copy.what(), "copy (Error: 390) : Not Connected");
}

}  // namespace
}  // namespace lumen::details
