#pragma once

#include <cstdint>
#include <string>

#include "lumen/BluetoothDeviceType.h"
#include "lumen/Export.h"

/// The library's interface: open a radio with Initialize(), find devices with a Scanner, talk to
/// them through BluetoothDevice, GattService and GattCharacteristic.
namespace lumen {

/// Opens the radio, starting the library's message-queue thread and the radio's own threads.
/// One radio at a time: on an initialised library it fails ("BluetoothSDK initialized twice") and
/// leaves the library uninitialised, so call UnInitialize() first. Blocks for `waitMsec`, then for
/// opening and probing the radio. Not to be called from a library callback, except the
/// radio-back callback (see \ref md_docs_threads "Threads and callbacks").
/// \param port the radio's serial port ("/dev/ttyACM0", "COM3"); for NordicNRF52 in a build
///        without pc-ble-driver, the path of a virtual-board scenario file.
/// \param waitMsec milliseconds to wait before opening; 0 for none.
/// \param type which radio.
/// \param checkFunctional probe the radio and log the outcome.
/// \return whether the radio was opened; a failure is logged at WARNING, and the library is then
///         left uninitialised.
/// \throws details::KesBluetoothSDKLibError "KESLUMEN initialized with unknown SDK type" for a type other
///         than BLED112Dongle, BLE113 and NordicNRF52.
LUMEN_API bool Initialize(const std::string& port, unsigned long waitMsec, BluetoothDeviceType type,
                          bool checkFunctional);
/// Releases the radio and the notification queue, waiting until the radio's threads stop (an
/// operation still running on another thread keeps the radio alive until it returns). Ends a
/// radio recovery under way. Harmless when not initialised. Best called once Scanner,
/// BeaconController and GATT objects are released, as the examples do; radio calls made after it
/// throw details::KesBluetoothSDKLibError "BluetoothSDK not initialized". Not to be called from a library
/// callback, except the radio-back callback.
LUMEN_API void UnInitialize();

/// Sets the function called when the radio stops answering a command or reports a radio error,
/// and when a radio's port goes away. It runs on the thread that noticed (see
/// \ref md_docs_threads "Threads and callbacks"), after the failed command has let go of the
/// backend's lock; an exception it throws is logged at ERROR.
/// \param callback the function; null for none.
LUMEN_API void Set_HardwareFailureCallback(void (*callback)());
/// Sets the function called before the library resets the radio (after a radio error, 300 s
/// without advertisements, or a lost port). It runs on a scanner's worker thread or the serial
/// reader; it must not call UnInitialize() or Initialize() (see
/// \ref md_docs_threads "Threads and callbacks").
/// \param callback the function; its argument tells whether the reset makes the device vanish from
///        the host for a while. Null for none.
LUMEN_API void Set_HardwareSoftResetInitiatedCallback(void (*callback)(bool resetRemovesDevice));

/// Off by default. When on, after the radio goes away (its port is lost, or a reset makes the
/// device leave the host) the library waits for the same port to open again, reopens it with the
/// type given to Initialize(), and puts back the scan parameters, scanning, advertising and the
/// beacon. Devices, GATT objects and the scanner stay valid: their calls fail at once while the
/// radio is away and work again once it is back. See \ref md_docs_threads "Threads and callbacks",
/// "When the radio comes back".
/// \param enabled true to reopen the radio after it went away.
LUMEN_API void SetRadioRecovery(bool enabled);

/// Sets the function called once the radio is back after it went away. With recovery on,
/// `reopened` is true: the library has reopened it. With recovery off, `reopened` is false: the
/// port opens again and the library's own reset is over, so the application may call
/// UnInitialize() and Initialize() now (from this callback too). Runs on the library's recovery
/// thread.
/// \param callback the function, told whether the library reopened the radio and how many
///        milliseconds it was away. Null for none.
LUMEN_API void Set_RadioBackCallback(void (*callback)(bool reopened, uint64_t awayMs));

}  // namespace lumen
