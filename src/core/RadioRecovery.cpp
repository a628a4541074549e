#include <atomic>

#include "lumen/Lumen.h"

namespace lumen {
namespace {
std::atomic<bool> g_recoveryEnabled{false};
std::atomic<void (*)(bool, unsigned long)> g_radioBackCallback{nullptr};
}  // namespace

void SetRadioRecovery(bool enabled) { g_recoveryEnabled.store(enabled); }

void Set_RadioBackCallback(void (*callback)(bool, unsigned long)) { g_radioBackCallback.store(callback); }

}  // namespace lumen
