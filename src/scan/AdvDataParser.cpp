#include "lumen/AdvDataParser.h"

#include <stdexcept>
#include <string>

#include "core/Log.h"
#include "lumen/BluegigaHelper.h"
#include "lumen/Errors.h"

namespace lumen::details {
namespace {

constexpr unsigned char kIncomplete16BitUuids = 0x02;
constexpr unsigned char kComplete16BitUuids = 0x03;
constexpr unsigned char kIncomplete32BitUuids = 0x04;
constexpr unsigned char kComplete32BitUuids = 0x05;
constexpr unsigned char kIncomplete128BitUuids = 0x06;
constexpr unsigned char kComplete128BitUuids = 0x07;
constexpr unsigned char kCompleteLocalName = 0x09;
constexpr unsigned char kTxPowerLevel = 0x0A;

// The same text whichever standard library runs the parse.
const char* const kSubscriptText = "invalid vector<T> subscript";

}  // namespace

void AdvDataParser::AddLittleEndianUuidBytesToAdvDataItemMap(const unsigned char* bytes, size_t size, Items& items) {
  Uuid uuid = bglib::Helper::LittleEndianBytesToUuid(bytes, size);
  auto entry = items.find(ServiceUuids);
  if (entry == items.end()) {
    entry = items.emplace(ServiceUuids, std::vector<Uuid>{}).first;
  }
  boost::get<std::vector<Uuid>>(entry->second).push_back(std::move(uuid));
}

AdvDataParser::Items AdvDataParser::Parse(const std::vector<unsigned char>& data, const std::string& macText) {
  Items items;
  // A list of short UUIDs from s to e; a partial one at its end is ignored.
  const auto addEachUuid = [&](size_t s, size_t e, unsigned char type, size_t uuidSize, const char* macLabel) {
    for (size_t group = s; group + uuidSize <= e; group += uuidSize) {
      Log(kDebug, "lumen::details::AdvDataParser::Parse", macLabel, macText, "uuid type =", type,
          "uuid data len =", uuidSize);
      AddLittleEndianUuidBytesToAdvDataItemMap(&data[group], uuidSize, items);
    }
  };
  const size_t size = data.size();
  size_t t = 0;
  try {
    while (t < size) {
      const size_t len = data[t];
      if (len == 0) {
        break;  // the rest of a payload is often zero padding
      }
      if (t + 1 >= size) {
        throw std::out_of_range(kSubscriptText);
      }
      const unsigned char type = data[t + 1];
      const size_t s = t + 2;
      const size_t e = t + len + 1;
      if (e > size) {
        throw KesBluetoothSDKLibError("invalid advertisement: section length = " + std::to_string(len) +
                                          " results in end index " + std::to_string(e) + " > size " +
                                          std::to_string(size),
                                      kErrorGeneral);
      }
      switch (type) {
        case kIncomplete16BitUuids:
        case kComplete16BitUuids:
          addEachUuid(s, e, type, Uuid::kShort16UuidSize, "MAC=");
          break;
        case kIncomplete32BitUuids:
        case kComplete32BitUuids:
          addEachUuid(s, e, type, Uuid::kShort32UuidSize, "MAC =");
          break;
        case kIncomplete128BitUuids:
        case kComplete128BitUuids:
          // One UUID per structure: a list of two is rejected by the size check.
          Log(kDebug, "lumen::details::AdvDataParser::Parse", "MAC =", macText, "uuid type =", type,
              "uuid data len =", e - s);
          AddLittleEndianUuidBytesToAdvDataItemMap(data.data() + s, e - s, items);
          break;
        case kCompleteLocalName:
          items.emplace(LocalName, std::string(data.begin() + static_cast<std::ptrdiff_t>(s),
                                               data.begin() + static_cast<std::ptrdiff_t>(e)));
          break;
        case kTxPowerLevel:
          // A structure without its value byte must not borrow the next
          // structure's length byte as the power level.
          if (s >= e) {
            throw std::out_of_range(kSubscriptText);
          }
          items.emplace(TxPowerLevel, static_cast<signed char>(data[s]));
          break;
        default:
          break;
      }
      t = t + 1 + len;
    }
  } catch (const std::exception& ex) {
    Log(kWarning, "lumen::details::AdvDataParser::Parse", "MAC = ", macText, "failed to parse", ToString(data),
        ex.what());
  }
  return items;
}

}  // namespace lumen::details
