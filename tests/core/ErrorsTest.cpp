#include "lumen/Errors.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "core/Checks.h"
#include "support/CallOutcome.h"

namespace lumen::details {
namespace {

// A backend-style subclass that composes a longer text around the message.
class BackendError : public KesBluetoothSDKLibError {
 public:
  BackendError(const std::string& message, int code) : KesBluetoothSDKLibError(message, code) {
    SetText(message + " (code " + std::to_string(code) + ")");
  }
};

TEST(ErrorsTest, LibraryErrorKeepsMessageAndCode) {
  const KesBluetoothSDKLibError error("BluetoothSDK not initialized", kErrorGeneral);
  EXPECT_STREQ(error.what(), "BluetoothSDK not initialized");
  EXPECT_EQ(error.code(), 36865);
}

TEST(ErrorsTest, CodesHaveTheirFixedValues) {
  EXPECT_EQ(kErrorUnexpectedDisconnect, 36864);
  EXPECT_EQ(kErrorGeneral, 36865);
  EXPECT_EQ(kErrorInvalidHandle, 36866);
}

TEST(ErrorsTest, LibraryErrorIsCaughtAsStdExceptionAndSurvivesCopy) {
  try {
    throw KesBluetoothSDKLibError("radio answered 0x0181", 0x0181);
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "radio answered 0x0181");
    const auto* library = dynamic_cast<const KesBluetoothSDKLibError*>(&e);
    ASSERT_NE(library, nullptr);
    const KesBluetoothSDKLibError copy = *library;
    EXPECT_STREQ(copy.what(), "radio answered 0x0181");
    EXPECT_EQ(copy.code(), 0x0181);
  }
}

TEST(ErrorsTest, EmptyMessageStillGivesText) {
  const KesBluetoothSDKLibError error("", kErrorGeneral);
  ASSERT_NE(error.what(), nullptr);
  EXPECT_STREQ(error.what(), "Unknown exception");
}

TEST(ErrorsTest, SubclassTextReplacesWhatButKeepsCode) {
  const BackendError error("write failed", 0x0401);
  EXPECT_STREQ(error.what(), "write failed (code 1025)");
  EXPECT_EQ(error.code(), 0x0401);
  const KesBluetoothSDKLibError& base = error;
  EXPECT_STREQ(base.what(), "write failed (code 1025)");
}

TEST(ErrorsTest, NotImplementedText) { EXPECT_STREQ(NotImplementedException().what(), "Function not yet implemented"); }

TEST(ErrorsTest, ChecksThrowWithTheGeneralCode) {
  EXPECT_NO_THROW(ThrowIfFalse(true, "unused"));
  EXPECT_NO_THROW(ThrowIfTrue(false, "unused"));
  testing::ExpectLibraryError(testing::OutcomeOf([] { ThrowIfFalse(false, "device no longer exists"); }),
                              "device no longer exists", kErrorGeneral);
  testing::ExpectLibraryError(testing::OutcomeOf([] { ThrowIfTrue(true, "already connected"); }), "already connected",
                              kErrorGeneral);
}

TEST(ErrorsTest, ChecksThrowTheRequestedSubclass) {
  try {
    ThrowIfFalse<BackendError>(false, "timeout");
    FAIL() << "ThrowIfFalse(false) returned";
  } catch (const BackendError& e) {
    EXPECT_STREQ(e.what(), "timeout (code 36865)");
    EXPECT_EQ(e.code(), kErrorGeneral);
  }
  EXPECT_THROW(ThrowIfTrue<BackendError>(true, "x"), BackendError);
}

}  // namespace
}  // namespace lumen::details
