#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "TestProvider.h"
#include "core/BluetoothSDK.h"
#include "core/MessageQueue.h"
#include "core/ProviderRegistry.h"
#include "lumen/Errors.h"
#include "lumen/Lumen.h"
#include "support/LogCapture.h"

namespace lumen {
namespace {

using details::GetBluetoothSDK;
using details::GetMessageQueue;
using testing::LogCapture;
using testing::TestProvider;

constexpr char kUnknownType[] = "KESLUMEN initialized with unknown SDK type";

class InitializeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    UnInitialize();
    TestProvider::ResetScript();
    for (auto type : {BLED112Dongle, BLE113, NordicNRF52}) {
      details::SetProviderFactory(type, &TestProvider::Create);
    }
  }
  void TearDown() override {
    UnInitialize();
    for (auto type : {BLED112Dongle, BLE113, NordicNRF52}) {
      details::SetProviderFactory(type, nullptr);
    }
    Set_HardwareFailureCallback(nullptr);
    Set_HardwareSoftResetInitiatedCallback(nullptr);
    EXPECT_EQ(TestProvider::script().alive.load(), 0);
  }

  static std::string NotInitializedText() {
    try {
      GetBluetoothSDK();
    } catch (const details::KesBluetoothSDKLibError& e) {
      EXPECT_EQ(e.code(), details::kErrorGeneral);
      return e.what();
    }
    return "<initialised>";
  }

  // Neither a provider nor a message queue is there.
  static void ExpectUninitialised() {
    EXPECT_EQ(NotInitializedText(), "BluetoothSDK not initialized");
    EXPECT_THROW(GetMessageQueue(), std::runtime_error);
  }

  static std::string UnknownTypeText(BluetoothDeviceType type) {
    try {
      Initialize("/dev/ttyLUMEN-test", 0, type, true);
    } catch (const details::KesBluetoothSDKLibError& e) {
      EXPECT_EQ(e.code(), details::kErrorGeneral);
      return e.what();
    }
    return "<no error>";
  }
};

TEST_F(InitializeTest, UnknownTypeThrowsAndNamesTheTypeInTheLog) {
  const LogCapture capture;
  EXPECT_EQ(UnknownTypeText(Unknown), kUnknownType);
  EXPECT_TRUE(capture.HasContaining(Logger::INFO, "Initialize KESLUMEN for device"));
  EXPECT_TRUE(capture.HasContaining(Logger::INFO, "Unknown"));

  EXPECT_EQ(UnknownTypeText(static_cast<BluetoothDeviceType>(4)), kUnknownType);
  EXPECT_TRUE(capture.HasContaining(Logger::INFO, "programming error"));
  EXPECT_EQ(UnknownTypeText(static_cast<BluetoothDeviceType>(-1)), kUnknownType);
  EXPECT_EQ(TestProvider::script().created.load(), 0);
  EXPECT_EQ(NotInitializedText(), "BluetoothSDK not initialized");
}

TEST_F(InitializeTest, SuccessInstallsProviderAndQueueAndPassesTheArguments) {
  const LogCapture capture;
  ASSERT_TRUE(Initialize("COM10", 2000, BLE113, false));
  EXPECT_TRUE(capture.Has(Logger::INFO, "Initialize KESLUMEN for device BLE113"));
  const auto opens = TestProvider::Opens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].type, BLE113);
  EXPECT_EQ(opens[0].port, "COM10");
  EXPECT_EQ(opens[0].waitMsec, 2000u);
  EXPECT_FALSE(opens[0].checkFunctional);
  EXPECT_NE(GetBluetoothSDK(), nullptr);
  EXPECT_TRUE(GetBluetoothSDK()->IsDeviceOpen());
  EXPECT_NE(GetMessageQueue(), nullptr);
  EXPECT_TRUE(details::IsBluetoothSDKInitialized());
  // The open is marked while it runs, and only then.
  EXPECT_EQ(TestProvider::script().openingWhileOpen, std::vector<bool>{true});
  EXPECT_FALSE(details::IsBluetoothSDKOpening());
}

TEST_F(InitializeTest, ZeroWaitIsPassedThroughAsZero) {
  ASSERT_TRUE(Initialize("/dev/ttyACM0", 0, BLED112Dongle, true));
  const auto opens = TestProvider::Opens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].waitMsec, 0u);
  EXPECT_TRUE(opens[0].checkFunctional);
}

TEST_F(InitializeTest, OpenReturningFalseLeavesTheLibraryUninitialised) {
  TestProvider::script().openResult = TestProvider::OpenResult::kFail;
  EXPECT_FALSE(Initialize("/dev/ttyLUMEN-missing", 0, BLED112Dongle, true));
  ExpectUninitialised();
  EXPECT_FALSE(details::IsBluetoothSDKInitialized());
  EXPECT_EQ(TestProvider::script().alive.load(), 0);
}

TEST_F(InitializeTest, OpenThrowingIsLoggedAsBluegigaFailureAndReturnsFalse) {
  const LogCapture capture;
  TestProvider::script().openResult = TestProvider::OpenResult::kThrow;
  EXPECT_FALSE(Initialize("/dev/ttyLUMEN-missing", 0, BLED112Dongle, true));
  EXPECT_TRUE(
      capture.Has(Logger::WARNING, "Bluegiga initialization failed: no radio answers on /dev/ttyLUMEN-missing"));
  ExpectUninitialised();
  EXPECT_EQ(TestProvider::script().alive.load(), 0);
}

TEST_F(InitializeTest, OpenThrowingIsLoggedAsNordicFailureForNordic) {
  const LogCapture capture;
  TestProvider::script().openResult = TestProvider::OpenResult::kThrow;
  EXPECT_FALSE(Initialize("/dev/ttyACM9", 0, NordicNRF52, true));
  EXPECT_TRUE(capture.Has(Logger::WARNING, "Nordic initialization failed: no radio answers on /dev/ttyACM9"));
  EXPECT_FALSE(capture.HasContaining(Logger::WARNING, "Bluegiga initialization failed"));
}

TEST_F(InitializeTest, ProviderConstructionThrowingReturnsFalse) {
  const LogCapture capture;
  TestProvider::script().throwFromFactory = true;
  EXPECT_FALSE(Initialize("/dev/ttyLUMEN-missing", 0, BLE113, true));
  EXPECT_TRUE(capture.Has(Logger::WARNING, "Bluegiga initialization failed: provider could not be built"));
  ExpectUninitialised();
}

TEST_F(InitializeTest, SecondInitializeFailsAndLeavesTheLibraryUninitialised) {
  const LogCapture capture;
  ASSERT_TRUE(Initialize("COM10", 0, BLED112Dongle, true));
  EXPECT_FALSE(Initialize("COM10", 0, BLED112Dongle, true));
  EXPECT_TRUE(capture.Has(Logger::WARNING, "Bluegiga initialization failed: BluetoothSDK initialized twice"));
  ExpectUninitialised();
  EXPECT_EQ(TestProvider::script().created.load(), 2);
  EXPECT_EQ(TestProvider::script().alive.load(), 0);
}

TEST_F(InitializeTest, UnInitializeTwiceIsHarmless) {
  const LogCapture capture;
  ASSERT_TRUE(Initialize("COM10", 0, BLED112Dongle, true));
  UnInitialize();
  EXPECT_EQ(TestProvider::script().alive.load(), 0);
  EXPECT_THROW(GetMessageQueue(), std::runtime_error);
  UnInitialize();
  EXPECT_EQ(NotInitializedText(), "BluetoothSDK not initialized");
  EXPECT_EQ(capture.Count(Logger::INFO, "Releasing IBluetoothSDK object"), 2u);
}

TEST_F(InitializeTest, OperationInProgressKeepsTheProviderUntilItReturns) {
  ASSERT_TRUE(Initialize("COM10", 0, BLED112Dongle, true));
  std::shared_ptr<details::IBluetoothSDK> inUse = GetBluetoothSDK();
  UnInitialize();
  EXPECT_EQ(TestProvider::script().alive.load(), 1);
  EXPECT_EQ(inUse->GetFirmwareVersion(), "test");
  inUse.reset();
  EXPECT_EQ(TestProvider::script().alive.load(), 0);
}

TEST_F(InitializeTest, InitializeWorksAgainAfterUnInitialize) {
  ASSERT_TRUE(Initialize("COM10", 0, BLED112Dongle, true));
  UnInitialize();
  ASSERT_TRUE(Initialize("COM11", 0, BLED112Dongle, true));
  EXPECT_EQ(TestProvider::Opens().back().port, "COM11");
  EXPECT_EQ(TestProvider::script().alive.load(), 1);
}

TEST_F(InitializeTest, NordicPortThatOpensNothingFailsCleanly) {
  details::SetProviderFactory(NordicNRF52, nullptr);  // the built-in backend
  const LogCapture capture;
  EXPECT_FALSE(Initialize("/dev/ttyLUMEN-missing", 0, NordicNRF52, true));
  EXPECT_TRUE(capture.HasContaining(Logger::ERROR, "sd_rpc_open failed: "));
#ifdef LUMEN_VIRTUAL_NRF52
  // Built without pc-ble-driver: the log says so, and how to build with one.
  EXPECT_TRUE(capture.HasContaining(Logger::ERROR, "no pc-ble-driver"));
  EXPECT_TRUE(capture.HasContaining(Logger::ERROR, "-Dnrf-ble-driver_DIR="));
#endif
  ExpectUninitialised();
}

TEST_F(InitializeTest, ProviderFactoryRejectsUnknownTypes) {
  EXPECT_THROW(details::SetProviderFactory(Unknown, &TestProvider::Create), details::KesBluetoothSDKLibError);
  EXPECT_THROW(details::SetProviderFactory(static_cast<BluetoothDeviceType>(4), &TestProvider::Create),
               details::KesBluetoothSDKLibError);
  EXPECT_EQ(details::GetProviderFactory(Unknown), nullptr);
  EXPECT_EQ(details::GetProviderFactory(static_cast<BluetoothDeviceType>(99)), nullptr);
}

std::atomic<int> g_failures{0};
std::atomic<int> g_resets{0};
std::atomic<bool> g_lastRemovesDevice{false};

void OnHardwareFailure() { ++g_failures; }
void OnSoftReset(bool removesDevice) {
  ++g_resets;
  g_lastRemovesDevice = removesDevice;
}

TEST_F(InitializeTest, HardwareCallbacksAreCalledAndSurviveUnInitialize) {
  g_failures = 0;
  g_resets = 0;
  details::NotifyHardwareFailure();  // none set: nothing happens
  details::NotifyHardwareSoftResetInitiated(true);

  Set_HardwareFailureCallback(&OnHardwareFailure);
  Set_HardwareSoftResetInitiatedCallback(&OnSoftReset);
  details::NotifyHardwareFailure();
  details::NotifyHardwareSoftResetInitiated(true);
  EXPECT_EQ(g_failures.load(), 1);
  EXPECT_EQ(g_resets.load(), 1);
  EXPECT_TRUE(g_lastRemovesDevice.load());

  ASSERT_TRUE(Initialize("COM10", 0, BLED112Dongle, true));
  UnInitialize();
  details::NotifyHardwareFailure();
  details::NotifyHardwareSoftResetInitiated(false);
  EXPECT_EQ(g_failures.load(), 2);
  EXPECT_EQ(g_resets.load(), 2);
  EXPECT_FALSE(g_lastRemovesDevice.load());

  Set_HardwareFailureCallback(nullptr);
  Set_HardwareSoftResetInitiatedCallback(nullptr);
  details::NotifyHardwareFailure();
  details::NotifyHardwareSoftResetInitiated(true);
  EXPECT_EQ(g_failures.load(), 2);
  EXPECT_EQ(g_resets.load(), 2);
}

TEST_F(InitializeTest, LibraryThreadsTakingCopiesWhileTheAppReInitializesIsSafe) {
  std::atomic<bool> stop{false};
  std::atomic<int> used{0};
  std::thread libraryThread([&] {
    while (!stop.load()) {
      try {
        used += GetBluetoothSDK()->IsDeviceOpen() ? 1 : 0;
      } catch (const details::KesBluetoothSDKLibError&) {
        // released at this moment
      }
    }
  });
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(Initialize("COM10", 0, BLED112Dongle, true));
    UnInitialize();
  }
  stop = true;
  libraryThread.join();
  EXPECT_EQ(TestProvider::script().alive.load(), 0);
}

TEST_F(InitializeTest, SetBluetoothSDKTwiceThrowsAndFreesTheNewProvider) {
  details::SetBluetoothSDK(new TestProvider);
  try {
    details::SetBluetoothSDK(new TestProvider);
    FAIL() << "second SetBluetoothSDK accepted";
  } catch (const details::KesBluetoothSDKLibError& e) {
    EXPECT_STREQ(e.what(), "BluetoothSDK initialized twice");
  }
  EXPECT_EQ(TestProvider::script().alive.load(), 1);
  details::ReleaseBluetoothSDK();
  EXPECT_EQ(TestProvider::script().alive.load(), 0);
}

}  // namespace
}  // namespace lumen
