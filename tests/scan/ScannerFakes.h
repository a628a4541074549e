#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/IBluetoothSDK.h"
#include "lumen/BGLibError.h"
#include "platform/Clock.h"
#include "support/CallLog.h"
#include "support/ManualClocks.h"
#include "support/NullProvider.h"

namespace lumen::scannertest {

// A provider that records every call in order and answers from settings the
// test controls. Used only for the logic above the provider; the radio
// backends have their own tests against the virtual radios.
class RecordingProvider : public testing::NullProvider {
 public:
  struct Call {
    std::string name;
    std::vector<uint8_t> data;  // advertisement payloads
    int64_t a = 0;              // first numeric argument
    int64_t b = 0;              // second numeric argument
  };

  std::atomic<bool> continuous{false};
  std::atomic<bool> resetRemovesDevice{false};
  std::atomic<bool> scanning{false};
  std::atomic<int> startScanFailures{0};  // the next n StartScan calls throw
  std::atomic<bool> failAdvertising{false};
  std::atomic<bool> advertisingFailsWithBGLibError{false};
  std::atomic<bool> open{true};

  std::vector<Call> Calls() const { return m_log.All(); }
  size_t Count(const std::string& name) const { return m_log.Count(name); }
  std::vector<std::string> Names() const { return m_log.Names(); }

  // Puts an event of the test (an application callback, say) into the same
  // sequence as the provider calls.
  void Note(const std::string& name) { Record(name); }

  void Clear() { m_log.Clear(); }

  // Blocks until `name` has been called `count` times; the guard only ends a hang.
  bool WaitForCount(const std::string& name, size_t count, std::chrono::milliseconds guard = testing::kGuard) const {
    return m_log.WaitForCount(name, count, guard);
  }

  bool OpenDevice(BluetoothDeviceType, const std::string&, uint32_t, bool) override {
    Record("OpenDevice");
    open = true;
    return true;
  }
  bool IsDeviceOpen() override { return open.load(); }
  void CloseDevice() override {
    Record("CloseDevice");
    open = false;
  }
  void SetTimeouts(int response, int event) override { Record("SetTimeouts", {}, response, event); }
  void StartScan(bool includeNonConnectable) override {
    Record("StartScan", {}, includeNonConnectable ? 1 : 0);
    if (startScanFailures.load() > 0) {
      --startScanFailures;
      throw std::runtime_error("start scan failed");
    }
    scanning = true;
  }
  void EndProcedure() override {
    Record("EndProcedure");
    scanning = false;
  }
  bool SupportsContinuousScanning() override { return continuous.load(); }
  std::string GetFirmwareVersion() override { return "1.0"; }
  void Reset(uint8_t bootToDfu, bool waitForBoot) override { Record("Reset", {}, bootToDfu, waitForBoot); }
  void DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) override {
    Record("DelayedNonDFUReset", {}, delayMs, waitForBoot ? 1 : 0);
  }
  void SetTXPower(uint8_t power) override { Record("SetTXPower", {}, power); }
  void SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) override {
    Record("SetAdvertisementData", data, setScanResponse);
    ThrowIfAdvertisingFails();
  }
  void SetAdvertisementParameters(uint16_t interval) override {
    Record("SetAdvertisementParameters", {}, interval);
    ThrowIfAdvertisingFails();
  }
  void StartAdvertising() override {
    Record("StartAdvertising");
    ThrowIfAdvertisingFails();
  }
  void StopAdvertising() override {
    Record("StopAdvertising");
    ThrowIfAdvertisingFails();
  }
  void ConnectDirect(details::DeviceConnectionHandle, const std::vector<TimestampedRSSI>&, const Address&, uint16_t,
                     uint16_t, uint16_t, uint16_t) override {
    Record("ConnectDirect");
    throw std::runtime_error("no connections on this radio");
  }
  void Disconnect(details::DeviceConnectionHandle) override { Record("Disconnect"); }
  void SetScanParameters(uint16_t interval, uint16_t window, uint8_t active) override {
    Record("SetScanParameters", {}, interval, window + 0x10000 * active);
  }
  void SetScanParametersForEstablishingConnections(uint16_t interval, uint16_t window) override {
    Record("SetScanParametersForEstablishingConnections", {}, interval, window);
  }
  bool IsScanning() override { return scanning.load(); }
  uint8_t GetMaxConnections(uint16_t, bool) override { return 5; }
  void SetScanningStateCallback(void (*callback)(bool)) override {
    Record("SetScanningStateCallback", {}, callback != nullptr ? 1 : 0);
  }
  bool ResetRemovesDevice() override { return resetRemovesDevice.load(); }

 private:
  void Record(std::string name, std::vector<uint8_t> data = {}, int64_t a = 0, int64_t b = 0) {
    m_log.Add(Call{std::move(name), std::move(data), a, b});
  }

  void ThrowIfAdvertisingFails() {
    if (advertisingFailsWithBGLibError.load()) {
      throw details::BGLibError("ble_cmd_gap_set_mode failed", 0x0181);
    }
    if (failAdvertising.load()) {
      throw std::runtime_error("advertising refused");
    }
  }

  testing::CallLog<Call, &Call::name> m_log;
};

// Installs a RecordingProvider as the library's provider for one test.
class InstalledProvider {
 public:
  InstalledProvider() : m_provider(new RecordingProvider) { details::SetBluetoothSDK(m_provider); }
  ~InstalledProvider() { details::ReleaseBluetoothSDK(); }
  InstalledProvider(const InstalledProvider&) = delete;
  InstalledProvider& operator=(const InstalledProvider&) = delete;

  RecordingProvider* operator->() const { return m_provider; }
  RecordingProvider& operator*() const { return *m_provider; }

 private:
  RecordingProvider* m_provider;  // owned by the provider holder
};

using ManualClocks = testing::ManualClocks;

}  // namespace lumen::scannertest
