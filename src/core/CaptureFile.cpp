#include "core/CaptureFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace lumen::details {
namespace {

enum BlockType : uint32_t { kSectionHeaderBlock = 0x0A0D0D0A, kInterfaceBlock = 0x00000001, kPacketBlock = 0x00000006 };
// Option codes are numbered per block type.
enum SectionHeaderOption : uint16_t { kOptShbUserAppl = 4 };
enum InterfaceOption : uint16_t { kOptIfName = 2, kOptIfTsresol = 9 };
enum PacketOption : uint16_t { kOptEpbFlags = 2 };
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kLinkTypeUser0 = 147;
constexpr uint8_t kMicroseconds = 6;
// Packet block: type, length, interface, time high, time low, captured,
// original length (28), epb_flags option (8), end of options (4), length (4).
constexpr size_t kPacketBlockOverhead = 28 + 8 + 4 + 4;

size_t Padded(size_t size) { return (size + 3) & ~size_t{3}; }

void Le16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void Le32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<uint8_t>(value >> shift));
  }
}

void Option(std::vector<uint8_t>& out, uint16_t code, const void* value, size_t size) {
  Le16(out, code);
  Le16(out, static_cast<uint16_t>(size));
  const auto* bytes = static_cast<const uint8_t*>(value);
  out.insert(out.end(), bytes, bytes + size);
  out.resize(Padded(out.size()), 0);
}

// Wraps a body into a block: type, total length, body, total length.
std::vector<uint8_t> Block(uint32_t type, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> block;
  const auto total = static_cast<uint32_t>(12 + Padded(body.size()));
  Le32(block, type);
  Le32(block, total);
  block.insert(block.end(), body.begin(), body.end());
  block.resize(8 + Padded(body.size()), 0);
  Le32(block, total);
  return block;
}

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

CaptureFile::CaptureFile(std::string path, uint64_t maxFileBytes, uint32_t keepFiles, std::string interfaceName)
    : m_path(std::move(path)),
      m_maxFileBytes(maxFileBytes),
      m_keepFiles(keepFiles),
      m_interfaceName(std::move(interfaceName)) {
  std::string error;
  if (!Open(error)) {
    throw std::runtime_error(error);
  }
}

CaptureFile::~CaptureFile() {
  if (m_file != nullptr) {
    std::fclose(m_file);
  }
}

bool CaptureFile::Put(const void* data, size_t size) { return size == 0 || std::fwrite(data, 1, size, m_file) == size; }

bool CaptureFile::Open(std::string& error) {
  m_file = std::fopen(m_path.c_str(), "wb");
  if (m_file == nullptr) {
    error = "cannot create capture file " + m_path + ": " + ErrnoText();
    return false;
  }
  std::vector<uint8_t> section;
  Le32(section, kByteOrderMagic);
  Le16(section, 1);  // version 1.0
  Le16(section, 0);
  Le32(section, 0xFFFFFFFF);  // section length not known in advance
  Le32(section, 0xFFFFFFFF);
  static constexpr char kApplication[] = "lumen";
  Option(section, kOptShbUserAppl, kApplication, sizeof(kApplication) - 1);
  Le32(section, 0);

  std::vector<uint8_t> interface;
  Le16(interface, kLinkTypeUser0);
  Le16(interface, 0);
  Le32(interface, 0);  // no snap length
  Option(interface, kOptIfTsresol, &kMicroseconds, 1);
  Option(interface, kOptIfName, m_interfaceName.data(), std::min<size_t>(m_interfaceName.size(), 0xFFFF));
  Le32(interface, 0);

  std::vector<uint8_t> head = Block(kSectionHeaderBlock, section);
  const std::vector<uint8_t> idb = Block(kInterfaceBlock, interface);
  head.insert(head.end(), idb.begin(), idb.end());
  if (!Put(head.data(), head.size()) || std::fflush(m_file) != 0) {
    error = "cannot write capture file " + m_path + ": " + ErrnoText();
    std::fclose(m_file);
    m_file = nullptr;
    return false;
  }
  m_fileBytes = head.size();
  m_hasRecords = false;
  return true;
}

bool CaptureFile::Rotate(std::string& error) {
  std::fclose(m_file);
  m_file = nullptr;
  namespace fs = std::filesystem;
  std::error_code ignored;
  const auto numbered = [this](uint32_t n) { return fs::path(m_path + "." + std::to_string(n)); };
  if (m_keepFiles == 0) {
    fs::remove(m_path, ignored);
  } else {
    fs::remove(numbered(m_keepFiles), ignored);
    for (uint32_t n = m_keepFiles - 1; n >= 1; --n) {
      if (fs::exists(numbered(n), ignored)) {
        fs::rename(numbered(n), numbered(n + 1), ignored);
      }
    }
    std::error_code renameError;
    fs::rename(m_path, numbered(1), renameError);
    if (renameError) {
      error = "cannot rotate capture file " + m_path + ": " + renameError.message();
      return false;
    }
  }
  return Open(error);
}

bool CaptureFile::Write(uint64_t timeUs, uint8_t direction, uint8_t kind, const CapturePiece* pieces, size_t pieceCount,
                        std::string& error) {
  if (m_file == nullptr) {
    error = "capture file " + m_path + " is not open";
    return false;
  }
  size_t dataSize = 1;
  for (size_t i = 0; i < pieceCount; ++i) {
    dataSize += pieces[i].size;
  }
  const size_t total = kPacketBlockOverhead + Padded(dataSize);
  if (m_maxFileBytes != 0 && m_hasRecords && m_fileBytes + total > m_maxFileBytes && !Rotate(error)) {
    return false;
  }

  std::vector<uint8_t> head;
  head.reserve(29);
  Le32(head, kPacketBlock);
  Le32(head, static_cast<uint32_t>(total));
  Le32(head, 0);  // interface 0
  Le32(head, static_cast<uint32_t>(timeUs >> 32));
  Le32(head, static_cast<uint32_t>(timeUs));
  Le32(head, static_cast<uint32_t>(dataSize));
  Le32(head, static_cast<uint32_t>(dataSize));
  head.push_back(kind);

  std::vector<uint8_t> tail;
  tail.resize(Padded(dataSize) - dataSize, 0);
  Le16(tail, kOptEpbFlags);
  Le16(tail, 4);
  Le32(tail, direction);
  Le32(tail, 0);  // end of options
  Le32(tail, static_cast<uint32_t>(total));

  bool ok = Put(head.data(), head.size());
  for (size_t i = 0; ok && i < pieceCount; ++i) {
    ok = Put(pieces[i].data, pieces[i].size);
  }
  ok = ok && Put(tail.data(), tail.size()) && std::fflush(m_file) == 0;
  if (!ok) {
    error = "cannot write capture file " + m_path + ": " + ErrnoText();
    return false;
  }
  m_fileBytes += total;
  m_hasRecords = true;
  return true;
}

}  // namespace lumen::details
