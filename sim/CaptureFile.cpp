#include "sim/CaptureFile.h"

#include <fstream>
#include <iterator>

namespace lumen::sim {
namespace {

// pcapng block types
enum : uint32_t { kSectionHeader = 0x0A0D0D0A, kInterfaceDescription = 1, kEnhancedPacket = 6 };

// pcapng option codes: a code means different things in different blocks; 0 ends any block's options.
enum : uint16_t {
  kOptionEnd = 0,
  kOptionIfName = 2,     // interface description
  kOptionIfTsresol = 9,  // interface description
  kOptionEpbFlags = 2,   // enhanced packet
};

constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeUser0 = 147;

size_t Padded(size_t length) { return (length + 3) & ~size_t{3}; }

struct Interface {
  std::string name;
  // Timestamp units per second.
  uint64_t unitsPerSecond = 1000000;
};

[[noreturn]] void Fail(size_t offset, const std::string& what) {
  throw CaptureFormatError("capture block at offset " + std::to_string(offset) + ": " + what);
}

// Calls visit(code, value pointer, value length) for each option in [begin, end).
template <class Visit>
void ForEachOption(const uint8_t* begin, const uint8_t* end, size_t blockOffset, Visit&& visit) {
  while (end - begin >= 4) {
    const uint16_t code = ReadLe16(begin);
    const uint16_t length = ReadLe16(begin + 2);
    if (code == kOptionEnd) {
      return;
    }
    if (static_cast<size_t>(end - begin - 4) < Padded(length)) {
      Fail(blockOffset, "option runs past the block");
    }
    visit(code, begin + 4, length);
    begin += 4 + Padded(length);
  }
}

uint64_t UnitsPerSecond(uint8_t tsresol, size_t blockOffset) {
  const unsigned exponent = tsresol & 0x7F;
  if ((tsresol & 0x80) != 0) {
    if (exponent > 63) {
      Fail(blockOffset, "timestamp resolution out of range");
    }
    return uint64_t{1} << exponent;
  }
  if (exponent > 19) {
    Fail(blockOffset, "timestamp resolution out of range");
  }
  uint64_t units = 1;
  for (unsigned i = 0; i < exponent; ++i) {
    units *= 10;
  }
  return units;
}

uint64_t ToMicroseconds(uint64_t timestamp, uint64_t unitsPerSecond) {
  if (unitsPerSecond == 1000000) {
    return timestamp;
  }
  const uint64_t seconds = timestamp / unitsPerSecond;
  const uint64_t rest = timestamp % unitsPerSecond;
  return seconds * 1000000 + static_cast<uint64_t>(static_cast<long double>(rest) * 1e6L / unitsPerSecond);
}

void AppendOption(Bytes& out, uint16_t code, const Bytes& value) {
  AppendLe16(out, code);
  AppendLe16(out, static_cast<uint16_t>(value.size()));
  out.insert(out.end(), value.begin(), value.end());
  out.resize(Padded(out.size()), 0);
}

void AppendBlock(Bytes& out, uint32_t type, const Bytes& body) {
  const uint32_t total = static_cast<uint32_t>(12 + Padded(body.size()));
  AppendLe32(out, type);
  AppendLe32(out, total);
  out.insert(out.end(), body.begin(), body.end());
  out.resize(out.size() + Padded(body.size()) - body.size(), 0);
  AppendLe32(out, total);
}

}  // namespace

std::string CaptureRecord::Text() const {
  switch (kind) {
    case kPortOpened:
    case kNote:
      return std::string(body.begin(), body.end());
    case kPortClosed:
      return body.empty() ? std::string() : std::string(body.begin() + 1, body.end());
    default:
      return {};
  }
}

Capture ParseCapture(const Bytes& file) {
  Capture capture;
  std::vector<Interface> interfaces;
  bool inSection = false;
  bool firstInterface = true;
  size_t offset = 0;
  while (offset < file.size()) {
    if (file.size() - offset < 12) {
      Fail(offset, "truncated block header");
    }
    const uint8_t* block = file.data() + offset;
    const uint32_t type = ReadLe32(block);
    const uint32_t total = ReadLe32(block + 4);
    if (type == kSectionHeader && total >= 28 && ReadLe32(block + 8) != kByteOrderMagic) {
      Fail(offset, "not a little-endian section");
    }
    if (total < 12 || total % 4 != 0 || total > file.size() - offset) {
      Fail(offset, "bad block length " + std::to_string(total));
    }
    if (ReadLe32(block + total - 4) != total) {
      Fail(offset, "block lengths disagree");
    }
    const uint8_t* body = block + 8;
    const uint8_t* bodyEnd = block + total - 4;
    const size_t bodyLength = total - 12;
    switch (type) {
      case kSectionHeader:
        if (bodyLength < 16) {
          Fail(offset, "section header too short");
        }
        inSection = true;
        interfaces.clear();
        break;
      case kInterfaceDescription: {
        if (!inSection) {
          Fail(offset, "interface before any section");
        }
        if (bodyLength < 8) {
          Fail(offset, "interface description too short");
        }
        if (ReadLe16(body) != kLinkTypeUser0) {
          Fail(offset, "link type " + std::to_string(ReadLe16(body)) + " is not lumen's");
        }
        Interface interface;
        ForEachOption(body + 8, bodyEnd, offset, [&](uint16_t code, const uint8_t* value, uint16_t length) {
          if (code == kOptionIfName) {
            interface.name.assign(value, value + length);
          } else if (code == kOptionIfTsresol && length >= 1) {
            interface.unitsPerSecond = UnitsPerSecond(value[0], offset);
          }
        });
        if (firstInterface) {
          capture.interfaceName = interface.name;
          firstInterface = false;
        }
        interfaces.push_back(std::move(interface));
        break;
      }
      case kEnhancedPacket: {
        if (bodyLength < 20) {
          Fail(offset, "packet block too short");
        }
        const uint32_t interfaceId = ReadLe32(body);
        if (interfaceId >= interfaces.size()) {
          Fail(offset, "packet of an undeclared interface");
        }
        const uint64_t timestamp = (uint64_t{ReadLe32(body + 4)} << 32) | ReadLe32(body + 8);
        const uint32_t captured = ReadLe32(body + 12);
        if (Padded(captured) > bodyLength - 20) {
          Fail(offset, "packet data runs past the block");
        }
        if (captured == 0) {
          Fail(offset, "empty record");
        }
        CaptureRecord record;
        record.timeUs = ToMicroseconds(timestamp, interfaces[interfaceId].unitsPerSecond);
        record.kind = body[20];
        record.body.assign(body + 21, body + 20 + captured);
        ForEachOption(body + 20 + Padded(captured), bodyEnd, offset,
                      [&](uint16_t code, const uint8_t* value, uint16_t length) {
                        if (code == kOptionEpbFlags && length == 4) {
                          record.direction = static_cast<CaptureRecord::Direction>(ReadLe32(value) & 0x3);
                        }
                      });
        capture.records.push_back(std::move(record));
        break;
      }
      default:
        if (!inSection) {
          Fail(offset, "no section header");
        }
        break;  // blocks of no interest here
    }
    offset += total;
  }
  if (!inSection) {
    throw CaptureFormatError("not a pcapng file: no section header");
  }
  return capture;
}

Capture ReadCaptureFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw CaptureFormatError("cannot open capture " + path);
  }
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return ParseCapture(file);
}

Bytes SerializeCapture(const Capture& capture) {
  Bytes out;
  Bytes section;
  AppendLe32(section, kByteOrderMagic);
  AppendLe16(section, 1);
  AppendLe16(section, 0);
  AppendLe32(section, 0xFFFFFFFF);  // section length unknown
  AppendLe32(section, 0xFFFFFFFF);
  AppendLe32(section, 0);  // no options
  AppendBlock(out, kSectionHeader, section);

  Bytes interface;
  AppendLe16(interface, kLinkTypeUser0);
  AppendLe16(interface, 0);
  AppendLe32(interface, 0);
  AppendOption(interface, kOptionIfName, Bytes(capture.interfaceName.begin(), capture.interfaceName.end()));
  AppendOption(interface, kOptionIfTsresol, Bytes{6});
  AppendLe32(interface, 0);
  AppendBlock(out, kInterfaceDescription, interface);

  for (const CaptureRecord& record : capture.records) {
    Bytes packet;
    AppendLe32(packet, 0);
    AppendLe32(packet, static_cast<uint32_t>(record.timeUs >> 32));
    AppendLe32(packet, static_cast<uint32_t>(record.timeUs));
    const uint32_t length = static_cast<uint32_t>(1 + record.body.size());
    AppendLe32(packet, length);
    AppendLe32(packet, length);
    packet.push_back(record.kind);
    packet.insert(packet.end(), record.body.begin(), record.body.end());
    packet.resize(Padded(packet.size()), 0);
    Bytes flags;
    AppendLe32(flags, record.direction);
    AppendOption(packet, kOptionEpbFlags, flags);
    AppendLe32(packet, 0);
    AppendBlock(out, kEnhancedPacket, packet);
  }
  return out;
}

}  // namespace lumen::sim
