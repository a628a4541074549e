#include "lumen/AdvDataHelper.h"

#include <cstdint>

#include "lumen/AdvDataParser.h"

namespace lumen {

using details::AdvDataParser;

bool AdvDataHelper::GetUuidsIfContains(const std::vector<unsigned char>& data, std::vector<Uuid>& uuids,
                                       const std::string& macText) {
  uuids.clear();
  AdvDataParser::Items items = AdvDataParser::Parse(data, macText);
  const auto entry = items.find(AdvDataParser::ServiceUuids);
  if (entry == items.end()) {
    return false;
  }
  uuids = std::move(boost::get<std::vector<Uuid>>(entry->second));
  return true;
}

bool AdvDataHelper::GetNameIfContains(const std::vector<unsigned char>& data, std::string& name,
                                      const std::string& macText) {
  name.clear();
  AdvDataParser::Items items = AdvDataParser::Parse(data, macText);
  const auto entry = items.find(AdvDataParser::LocalName);
  if (entry == items.end()) {
    return false;
  }
  name = std::move(boost::get<std::string>(entry->second));
  return true;
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
  AdvDataParser::Items items = AdvDataParser::Parse(data, macText);
  const auto entry = items.find(AdvDataParser::TxPowerLevel);
  if (entry == items.end()) {
    return false;
  }
  txPower = boost::get<signed char>(entry->second);
  return true;
}

}  // namespace lumen
