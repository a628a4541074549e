#include "lumen/AdvDataHelper.h"

#include <cstdint>
#include <utility>

#include "lumen/AdvDataParser.h"

namespace lumen {

using details::AdvDataParser;

namespace {

// Moves the item of `type` parsed from `data` into `out`; false, leaving
// `out` alone, when the data holds none.
template <class Value>
bool TakeItem(const std::vector<unsigned char>& data, const std::string& macText, AdvDataParser::Type type,
              Value& out) {
  AdvDataParser::Items items = AdvDataParser::Parse(data, macText);
  const auto entry = items.find(type);
  if (entry == items.end()) {
    return false;
  }
  out = std::move(boost::get<Value>(entry->second));
  return true;
}

}  // namespace

bool AdvDataHelper::GetUuidsIfContains(const std::vector<unsigned char>& data, std::vector<Uuid>& uuids,
                                       const std::string& macText) {
  uuids.clear();
  return TakeItem(data, macText, AdvDataParser::ServiceUuids, uuids);
}

bool AdvDataHelper::GetNameIfContains(const std::vector<unsigned char>& data, std::string& name,
                                      const std::string& macText) {
  name.clear();
  return TakeItem(data, macText, AdvDataParser::LocalName, name);
}

bool AdvDataHelper::GetNameIfContains(const std::vector<unsigned char>& data, std::wstring& name,
                                      const std::string& macText) {
  name.clear();
  std::string narrow;
  if (!GetNameIfContains(data, narrow, macText)) {
    return false;
  }
  name.reserve(narrow.size());
  for (const char c : narrow) {
    // Sign-extend to 16 bits whatever the width of wchar_t.
    const auto wide = static_cast<uint16_t>(static_cast<int16_t>(static_cast<signed char>(c)));
    name.push_back(static_cast<wchar_t>(wide));
  }
  return true;
}

bool AdvDataHelper::GetTXPowerIfContains(const std::vector<unsigned char>& data, signed char& txPower,
                                         const std::string& macText) {
  return TakeItem(data, macText, AdvDataParser::TxPowerLevel, txPower);
}

}  // namespace lumen
