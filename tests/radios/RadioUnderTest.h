#pragma once

// One virtual radio of either kind, with the library opened on it, so that a
// suite can run the same scenario on the BLED112 and on the nRF52 board.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "lumen/BluetoothDeviceType.h"
#include "sim/Bytes.h"
#include "sim/SimClock.h"

namespace lumen::testing {

enum class RadioKind { kBled112, kNrf52 };

std::string RadioName(RadioKind kind);

// What a test can ask of the radio in the same words for both kinds. Counts and
// waits name operations, not protocol messages.
class RadioUnderTest {
 public:
  enum class Operation { kScanStart, kConnect, kDisconnect, kServiceDiscovery, kReset };

  // Builds the radio for the scenario; Open then initialises the library on it.
  static std::unique_ptr<RadioUnderTest> Make(RadioKind kind, const std::string& scenarioJson);
  virtual ~RadioUnderTest() = default;

  virtual RadioKind Kind() const = 0;
  virtual BluetoothDeviceType DeviceType() const = 0;
  // Initialize on this radio; the result of Initialize.
  virtual bool Open() = 0;
  virtual sim::SimClock& Clock() = 0;

  // Times the library asked for the operation so far.
  virtual size_t Count(Operation operation) const = 0;
  // Until the operation was asked for `count` times in all.
  virtual bool WaitFor(Operation operation, std::chrono::milliseconds timeout, size_t count = 1) const = 0;

  // The connected peer notifies a characteristic; false while not subscribed.
  virtual bool Notify(std::string_view peripheral, std::string_view characteristicUuid, const sim::Bytes& value) = 0;
  // Advertising data of the radio's own advertising events, in order.
  virtual std::vector<sim::Bytes> OnAirData() const = 0;
  // No advertisement is heard any more, and no link comes up.
  virtual void GoSilent() = 0;
  // The peer answers the next attribute read with "invalid handle".
  virtual bool AnswerNextReadWithInvalidHandle() = 0;
  // The peer on the first open link drops it.
  virtual bool DropFirstConnection() = 0;
};

// Runs a suite once per radio.
class BothRadiosTest : public ::testing::TestWithParam<RadioKind> {
 protected:
  std::unique_ptr<RadioUnderTest> MakeRadio(const std::string& scenarioJson) {
    return RadioUnderTest::Make(GetParam(), scenarioJson);
  }
};

inline std::string RadioParamName(const ::testing::TestParamInfo<RadioKind>& info) { return RadioName(info.param); }

#if defined(_WIN32)
// The in-process virtual BLED112 needs a POSIX terminal; Windows covers the
// BLED112 through a COM port in its own suite.
#define LUMEN_RADIO_KINDS ::testing::Values(::lumen::testing::RadioKind::kNrf52)
#else
#define LUMEN_RADIO_KINDS \
  ::testing::Values(::lumen::testing::RadioKind::kBled112, ::lumen::testing::RadioKind::kNrf52)
#endif

#define LUMEN_ON_BOTH_RADIOS(suite) \
  INSTANTIATE_TEST_SUITE_P(BothRadios, suite, LUMEN_RADIO_KINDS, ::lumen::testing::RadioParamName)

}  // namespace lumen::testing
