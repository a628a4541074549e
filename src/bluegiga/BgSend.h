#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "bluegiga/BgMessageDef.h"

namespace lumen::details {

// Receives one encoded command: header plus fixed-size parameters, then the
// byte-array tail (0 and null when the command has none).
using BgOutputFunction = void (*)(uint8_t len1, const uint8_t* bytes1, uint16_t len2, const uint8_t* bytes2);

// Installed and cleared by the transport while other threads send; null drops
// every command.
extern std::atomic<BgOutputFunction> BgOutputHook;

// One argument of a command, type-erased: integers by value, addresses and
// array bytes by pointer.
struct BgArg {
  uint32_t value;
  const void* pointer;
};

template <class T>
BgArg MakeBgArg(T arg) {
  if constexpr (std::is_pointer_v<T>) {
    return BgArg{0, arg};
  } else {
    static_assert(std::is_integral_v<T> || std::is_enum_v<T>, "BGAPI arguments are integers or pointers");
    return BgArg{static_cast<uint32_t>(arg), nullptr};
  }
}

// Encodes `row` with `args` in parameter order (an array is its length, then
// a pointer to its bytes) and hands the bytes to `output`. Returns false,
// logging why, when the arguments do not fit the row.
bool BgEncodeMessage(const BgMessageDef& row, const BgArg* args, size_t argCount, BgOutputFunction output);

// Encodes row `index` of BgMessageTable and emits it through BgOutputHook.
void BgSendEncoded(int index, const BgArg* args, size_t argCount);

template <class... A>
void BgSendMessage(int index, A... args) {
  const std::array<BgArg, sizeof...(A)> list{MakeBgArg(args)...};
  BgSendEncoded(index, list.data(), list.size());
}

}  // namespace lumen::details
