#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/BluetoothSDK.h"
#include "core/CallbacksManager.h"
#include "core/ConnectionTable.h"
#include "core/Event.h"
#include "core/IBluetoothSDK.h"
#include "lumen/Address.h"
#include "lumen/BluetoothDevice.h"
#include "lumen/Errors.h"
#include "lumen/Uuid.h"
#include "platform/Clock.h"
#include "scan/AdvPacket.h"
#include "scan/DeviceRecord.h"
#include "support/CallLog.h"
#include "support/ManualClocks.h"

namespace lumen::testing {

// One provider call as the fake saw it. Fields a slot does not have stay zero.
struct FakeCall {
  std::string slot{};
  int64_t handleId = 0;  // DeviceConnectionHandle::id()
  uint16_t attHandle = 0;
  uint16_t a = 0;  // other numeric arguments in order (start/end handle, intervals, ...)
  uint16_t b = 0;
  uint16_t c = 0;
  uint16_t d = 0;
  std::vector<uint8_t> value{};
  Address address{};
  std::vector<TimestampedRSSI> rssi{};
  bool flag = false;
};

// A peripheral's GATT database as the fake reports it.
struct FakeCharacteristic {
  uint16_t valueHandle = 0;
  Uuid uuid;
};
struct FakeService {
  uint16_t startHandle = 0;
  uint16_t endHandle = 0;
  Uuid uuid;
  std::vector<FakeCharacteristic> characteristics;
};

// A provider for tests of the logic above the radio. It records every call,
// answers from what the test configured, binds connections in the real
// connection table (as the backends do) and is safe to call from any thread.
// A hook runs first in every slot, outside the fake's lock: it may throw to
// fail the call, move the test clocks, or signal the test.
class FakeProvider : public details::IBluetoothSDK {
 public:
  using Hook = std::function<void(const FakeCall&)>;

  // --- configuration -------------------------------------------------------
  void SetHook(Hook hook) {
    std::lock_guard lock(m_mutex);
    m_hook = std::move(hook);
  }
  void SetServices(const Address& address, std::vector<FakeService> services) {
    std::lock_guard lock(m_mutex);
    m_services[address] = std::move(services);
  }
  // ConnectDirect to address throws KesBluetoothSDKLibError(text, code).
  void FailConnect(const Address& address, int code = 0x0186, std::string text = "connect failed") {
    std::lock_guard lock(m_mutex);
    m_connectFailures[address] = {code, std::move(text)};
  }
  void ClearConnectFailure(const Address& address) {
    std::lock_guard lock(m_mutex);
    m_connectFailures.erase(address);
  }
  // Answer of GetRSSI; nullopt makes it return false.
  void SetRssi(std::optional<int8_t> rssi) {
    std::lock_guard lock(m_mutex);
    m_rssi = rssi;
  }
  // Answer of ReadByHandle and ReadLong.
  void SetReadAnswer(std::function<std::vector<uint8_t>(const FakeCall&)> answer) {
    std::lock_guard lock(m_mutex);
    m_readAnswer = std::move(answer);
  }

  std::atomic<bool> deviceOpen{true};
  std::atomic<bool> continuousScanning{false};
  std::atomic<bool> resetRemovesDevice{false};
  std::atomic<bool> scanning{false};
  std::atomic<uint8_t> maxConnections{4};

  // --- inspection ------------------------------------------------------------
  std::vector<FakeCall> Calls() const { return m_log.All(); }
  std::vector<FakeCall> Calls(const std::string& slot) const { return m_log.Named(slot); }
  std::vector<std::string> Slots() const { return m_log.Names(); }
  size_t Count(const std::string& slot) const { return m_log.Count(slot); }
  void ClearCalls() { m_log.Clear(); }
  // Blocks until slot has been called count times; the guard only ends a hang.
  bool WaitForCount(const std::string& slot, size_t count, std::chrono::milliseconds guard = kGuard) const {
    return m_log.WaitForCount(slot, count, guard);
  }
  // The native handle the fake gave the connection of the handle with id handleId.
  uint32_t NativeOf(int64_t handleId) const {
    std::lock_guard lock(m_mutex);
    return m_nativeOfHandle.at(handleId);
  }
  // The peripheral ends the connection of the handle with id handleId: the
  // disconnect is published on the bus as the backends do.
  void DisconnectFromRemote(int64_t handleId) {
    unsigned int native = 0;
    {
      std::lock_guard lock(m_mutex);
      native = m_nativeOfHandle.at(handleId);
    }
    details::Publish<unsigned int>("common_evt_disconnect", native);
  }

  // --- IBluetoothSDK -----------------------------------------------------------
  bool OpenDevice(BluetoothDeviceType, const std::string&, uint32_t, bool) override {
    Record({.slot = "OpenDevice"});
    deviceOpen = true;
    return true;
  }
  bool IsDeviceOpen() override {
    Record({.slot = "IsDeviceOpen"});
    return deviceOpen;
  }
  void CloseDevice() override {
    Record({.slot = "CloseDevice"});
    deviceOpen = false;
  }
  void SetTimeouts(int responseTimeoutMs, int eventTimeoutMs) override {
    Record({.slot = "SetTimeouts",
            .a = static_cast<uint16_t>(responseTimeoutMs),
            .b = static_cast<uint16_t>(eventTimeoutMs)});
  }
  void StartScan(bool includeNonConnectable) override {
    Record({.slot = "StartScan", .flag = includeNonConnectable});
    scanning = true;
  }
  void EndProcedure() override {
    Record({.slot = "EndProcedure"});
    scanning = false;
  }
  bool SupportsContinuousScanning() override {
    Record({.slot = "SupportsContinuousScanning"});
    return continuousScanning;
  }
  std::string GetFirmwareVersion() override {
    Record({.slot = "GetFirmwareVersion"});
    return "1.0.0";
  }
  void Reset(uint8_t bootToDfu, bool waitForBoot) override {
    Record({.slot = "Reset", .a = bootToDfu, .flag = waitForBoot});
  }
  void DelayedNonDFUReset(uint32_t delayMs, bool waitForBoot) override {
    Record({.slot = "DelayedNonDFUReset", .a = static_cast<uint16_t>(delayMs), .flag = waitForBoot});
  }
  void SetTXPower(uint8_t power) override { Record({.slot = "SetTXPower", .a = power}); }
  void SetAdvertisementData(uint8_t setScanResponse, const std::vector<uint8_t>& data) override {
    Record({.slot = "SetAdvertisementData", .a = setScanResponse, .value = data});
  }
  void SetAdvertisementParameters(uint16_t interval) override {
    Record({.slot = "SetAdvertisementParameters", .a = interval});
  }
  void StartAdvertising() override { Record({.slot = "StartAdvertising"}); }
  void StopAdvertising() override { Record({.slot = "StopAdvertising"}); }

  void ConnectDirect(details::DeviceConnectionHandle h, const std::vector<TimestampedRSSI>& advertRssi,
                     const Address& address, uint16_t connIntervalMin, uint16_t connIntervalMax,
                     uint16_t supervisionTimeout, uint16_t latency) override {
    Record({.slot = "ConnectDirect",
            .handleId = h.id(),
            .a = connIntervalMin,
            .b = connIntervalMax,
            .c = supervisionTimeout,
            .d = latency,
            .address = address,
            .rssi = advertRssi});
    uint32_t native = 0;
    {
      std::lock_guard lock(m_mutex);
      const auto failure = m_connectFailures.find(address);
      if (failure != m_connectFailures.end()) {
        throw details::KesBluetoothSDKLibError(failure->second.second, failure->second.first);
      }
      native = ++m_lastNative;
      m_addressOfNative[native] = address;
      m_nativeOfHandle[h.id()] = native;
    }
    h.Connect(native);
  }
  void Disconnect(details::DeviceConnectionHandle h) override {
    Record({.slot = "Disconnect", .handleId = h.id()});
    details::RemoveConnection(h);
  }
  std::vector<AttGroupItem> GetListOfServices(details::DeviceConnectionHandle h) override {
    Record({.slot = "GetListOfServices", .handleId = h.id()});
    std::vector<AttGroupItem> items;
    for (const FakeService& service : ServicesOf(h)) {
      AttGroupItem item;
      item.handle = h;
      item.startHandle = service.startHandle;
      item.endHandle = service.endHandle;
      item.uuid = service.uuid;
      items.push_back(item);
    }
    return items;
  }
  std::vector<AttHandleItem> GetListOfCharacteristics(details::DeviceConnectionHandle h, uint16_t startHandle,
                                                      uint16_t endHandle) override {
    Record({.slot = "GetListOfCharacteristics", .handleId = h.id(), .a = startHandle, .b = endHandle});
    std::vector<AttHandleItem> items;
    for (const FakeService& service : ServicesOf(h)) {
      for (const FakeCharacteristic& characteristic : service.characteristics) {
        if (characteristic.valueHandle >= startHandle && characteristic.valueHandle <= endHandle) {
          AttHandleItem item;
          item.handle = h;
          item.attHandle = characteristic.valueHandle;
          item.uuid = characteristic.uuid;
          items.push_back(item);
        }
      }
    }
    return items;
  }
  std::vector<uint8_t> ReadByHandle(details::DeviceConnectionHandle h, uint16_t attHandle) override {
    return Read("ReadByHandle", h, attHandle);
  }
  std::vector<uint8_t> ReadLong(details::DeviceConnectionHandle h, uint16_t attHandle) override {
    return Read("ReadLong", h, attHandle);
  }
  void WriteCommand(details::DeviceConnectionHandle h, uint16_t attHandle, const std::vector<uint8_t>& value) override {
    Write("WriteCommand", h, attHandle, value);
  }
  void AttributeWrite(details::DeviceConnectionHandle h, uint16_t attHandle,
                      const std::vector<uint8_t>& value) override {
    Write("AttributeWrite", h, attHandle, value);
  }
  void SetScanParameters(uint16_t scanInterval, uint16_t scanWindow, uint8_t active) override {
    Record({.slot = "SetScanParameters", .a = scanInterval, .b = scanWindow, .c = active});
  }
  void SetScanParametersForEstablishingConnections(uint16_t scanInterval, uint16_t scanWindow) override {
    Record({.slot = "SetScanParametersForEstablishingConnections", .a = scanInterval, .b = scanWindow});
  }
  bool GetRSSI(details::DeviceConnectionHandle h, int8_t* rssiOut) override {
    Record({.slot = "GetRSSI", .handleId = h.id()});
    std::lock_guard lock(m_mutex);
    if (!m_rssi) {
      return false;
    }
    *rssiOut = *m_rssi;
    return true;
  }
  bool IsScanning() override {
    Record({.slot = "IsScanning"});
    return scanning;
  }
  uint8_t GetMaxConnections(uint16_t timeoutMs, bool printConnections) override {
    Record({.slot = "GetMaxConnections", .a = timeoutMs, .flag = printConnections});
    return maxConnections;
  }
  void SetScanningStateCallback(void (*)(bool)) override { Record({.slot = "SetScanningStateCallback"}); }
  bool ResetRemovesDevice() override {
    Record({.slot = "ResetRemovesDevice"});
    return resetRemovesDevice;
  }

 private:
  void Record(const FakeCall& call) {
    Hook hook;
    {
      std::lock_guard lock(m_mutex);
      hook = m_hook;
    }
    m_log.Add(call);
    if (hook) {
      hook(call);
    }
  }

  std::vector<FakeService> ServicesOf(details::DeviceConnectionHandle h) {
    const uint32_t native = details::GetNativeHandle(h);  // throws when not connected, as the backends do
    std::lock_guard lock(m_mutex);
    const auto address = m_addressOfNative.find(native);
    if (address == m_addressOfNative.end()) {
      return {};
    }
    const auto services = m_services.find(address->second);
    return services == m_services.end() ? std::vector<FakeService>{} : services->second;
  }

  std::vector<uint8_t> Read(const char* slot, details::DeviceConnectionHandle h, uint16_t attHandle) {
    const FakeCall call{.slot = slot, .handleId = h.id(), .attHandle = attHandle};
    Record(call);
    details::GetNativeHandle(h);
    std::function<std::vector<uint8_t>(const FakeCall&)> answer;
    {
      std::lock_guard lock(m_mutex);
      answer = m_readAnswer;
    }
    return answer ? answer(call) : std::vector<uint8_t>{};
  }

  void Write(const char* slot, details::DeviceConnectionHandle h, uint16_t attHandle,
             const std::vector<uint8_t>& value) {
    Record({.slot = slot, .handleId = h.id(), .attHandle = attHandle, .value = value});
    details::GetNativeHandle(h);
  }

  CallLog<FakeCall, &FakeCall::slot> m_log;
  mutable std::mutex m_mutex;  // what the test configured and the connections
  Hook m_hook;
  std::map<Address, std::vector<FakeService>> m_services;
  std::map<Address, std::pair<int, std::string>> m_connectFailures;
  std::map<uint32_t, Address> m_addressOfNative;
  std::map<int64_t, uint32_t> m_nativeOfHandle;
  std::optional<int8_t> m_rssi;
  std::function<std::vector<uint8_t>(const FakeCall&)> m_readAnswer;
  uint32_t m_lastNative = 0;
};

// A device made from one advertisement of an address (RSSI -60, no data) and
// connected through the fake, as the device cache hands devices out.
struct FakeLink {
  std::shared_ptr<BluetoothDevice> device;  // first: `link = {}` lets go of it before its record
  std::shared_ptr<details::DeviceRecord> record;
  uint32_t native = 0;  // the fake's handle of the link
};

inline FakeLink ConnectAdvertised(FakeProvider& fake, const Address& address) {
  FakeLink link;
  link.record = details::DeviceRecord::Create(
      std::make_shared<const details::AdvPacket>(-60, address, 0, 0, std::vector<unsigned char>{}));
  link.device = link.record->device();
  link.device->Connect();
  link.native = fake.NativeOf(fake.Calls("ConnectDirect").back().handleId);
  return link;
}

// Installs a fresh FakeProvider as the process-wide provider for one test and
// removes it, and every connection it left, afterwards.
class ScopedFakeProvider {
 public:
  // Like a radio's port opening, a fresh provider lowers the reset flag the
  // last radio closed left raised.
  ScopedFakeProvider() : m_fake(new FakeProvider) {
    details::Event::SetGlobalReset(false);
    details::SetBluetoothSDK(m_fake);
  }
  ~ScopedFakeProvider() {
    details::ReleaseBluetoothSDK();
    details::ClearAllConnections();
  }
  ScopedFakeProvider(const ScopedFakeProvider&) = delete;
  ScopedFakeProvider& operator=(const ScopedFakeProvider&) = delete;

  FakeProvider& operator*() const { return *m_fake; }
  FakeProvider* operator->() const { return m_fake; }

 private:
  FakeProvider* m_fake;  // owned by the provider holder
};

}  // namespace lumen::testing
