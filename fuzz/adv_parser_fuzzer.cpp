// Feeds arbitrary advertisement payloads to the parser and to every helper
// built on it. None may crash, throw, or read outside the payload; what the
// helpers report must agree with the parser.
#include <boost/variant/get.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "lumen/AdvDataHelper.h"
#include "lumen/AdvDataParser.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  using lumen::AdvDataHelper;
  using lumen::details::AdvDataParser;

  // An exact-size copy, so reading past the payload is caught by the sanitizer.
  const std::vector<unsigned char> data(bytes, bytes + size);
  const std::string mac = "00:11:22:33:44:55";

  const AdvDataParser::Items items = AdvDataParser::Parse(data, mac);
  Check(items.size() <= 3);

  std::vector<lumen::Uuid> uuids;
  const bool hasUuids = AdvDataHelper::GetUuidsIfContains(data, uuids, mac);
  const auto uuidEntry = items.find(AdvDataParser::ServiceUuids);
  Check(hasUuids == (uuidEntry != items.end()));
  if (hasUuids) {
    const auto& parsed = boost::get<std::vector<lumen::Uuid>>(uuidEntry->second);
    Check(!uuids.empty() && uuids == parsed);
    for (const lumen::Uuid& uuid : uuids) {
      Check(lumen::Uuid::IsValidUuidSize(uuid.size()));
    }
  }

  std::string name;
  const bool hasName = AdvDataHelper::GetNameIfContains(data, name, mac);
  Check(hasName == (items.count(AdvDataParser::LocalName) != 0));
  Check(name.size() < (size > 0 ? size : 1));

  std::wstring wideName;
  Check(AdvDataHelper::GetNameIfContains(data, wideName, mac) == hasName);
  Check(wideName.size() == name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const auto narrow = static_cast<unsigned char>(name[i]);
    const auto wide = static_cast<uint32_t>(wideName[i]);
    Check(narrow < 0x80 ? wide == narrow : wide == 0xFF00U + narrow);
  }

  signed char power = 0;
  Check(AdvDataHelper::GetTXPowerIfContains(data, power, mac) == (items.count(AdvDataParser::TxPowerLevel) != 0));
  return 0;
}
