#include "bluegiga/BgFrameReader.h"

#include <algorithm>
#include <optional>

#include "bluegiga/BgMessageDef.h"
#include "core/HealthCounters.h"

namespace lumen::details {
namespace {

// Bits 3 to 6 of byte 0 name the technology; a BLE radio sends 0 there.
constexpr uint8_t kTechnologyBits = 0x78;

size_t ArrayRoom(const BgMessageDef& row) {
  size_t room = 0;
  for (uint32_t codes = row.params; (codes & 0xF) != 0; codes >>= 4) {
    const auto code = static_cast<uint8_t>(codes & 0xF);
    if (code == kBgParamUint8Array || code == kBgParamString) {
      room += 0xFF;
    } else if (code == kBgParamUint16Array) {
      room += 0xFFFF;
    }
  }
  return room;
}

// While hunting for a frame in garbage, a candidate whose whole frame is at
// hand must fill its payload exactly: fixed part plus the arrays it declares.
bool PayloadFillsLayout(const BgMessageDef& row, const uint8_t* payload, size_t length) {
  size_t offset = 0;
  for (uint32_t codes = row.params; (codes & 0xF) != 0; codes >>= 4) {
    const auto code = static_cast<uint8_t>(codes & 0xF);
    const size_t width = BgParamWidth(code);
    if (offset + width > length) {
      return false;
    }
    size_t arrayLen = 0;
    if (code == kBgParamUint8Array || code == kBgParamString) {
      arrayLen = payload[offset];
    } else if (code == kBgParamUint16Array) {
      arrayLen = payload[offset] | (static_cast<size_t>(payload[offset + 1]) << 8);
    }
    offset += width + arrayLen;
    if (offset > length) {
      return false;
    }
  }
  return offset == length;
}

// Could these 1 to 3 bytes begin a header from a BLE radio?
bool IsPlausiblePrefix(const uint8_t* bytes, size_t count) {
  if ((bytes[0] & kTechnologyBits) != 0) {
    return false;
  }
  return count < 3 || bytes[2] < kBgClassCount;
}

}  // namespace

bool BgFrameReader::IsPlausibleHeader(const uint8_t* header) {
  const BgMessageDef* row = BgFindHandler(header);
  if (row == nullptr) {
    return false;
  }
  const size_t fixed = row->header[1];
  const size_t length = PayloadLength(header);
  return length >= fixed && length - fixed <= ArrayRoom(*row);
}

size_t BgFrameReader::BytesWanted() const {
  if (m_readingPayload) {
    return m_payload.size() - m_payloadFill;
  }
  return kHeaderBytes - m_headerFill;
}

void BgFrameReader::Consume(const uint8_t* data, size_t count, Sink& sink) {
  while (count != 0) {
    if (m_resyncPending) {
      // Read together with the implausible header, so it had arrived without
      // waiting: it counts as available input.
      m_arrived.insert(m_arrived.end(), data, data + count);
      return;
    }
    if (!m_readingPayload && m_headerFill == 0 && count >= kHeaderBytes && IsPlausibleHeader(data) &&
        m_droppedCount == 0 && count - kHeaderBytes >= PayloadLength(data)) {
      // A whole frame at hand: handed over in place, without copying.
      const size_t length = PayloadLength(data);
      sink.OnFrame(data, length == 0 ? nullptr : data + kHeaderBytes, length);
      data += kHeaderBytes + length;
      count -= kHeaderBytes + length;
      continue;
    }
    const size_t take = std::min(count, BytesWanted());
    if (m_readingPayload) {
      std::copy_n(data, take, m_payload.data() + m_payloadFill);
      m_payloadFill += take;
      if (m_payloadFill == m_payload.size()) {
        m_readingPayload = false;
        m_headerFill = 0;
        sink.OnFrame(m_header, m_payload.data(), m_payload.size());
      }
    } else {
      std::copy_n(data, take, m_header + m_headerFill);
      m_headerFill += take;
      if (m_headerFill == kHeaderBytes) {
        HeaderComplete(sink);
      }
    }
    data += take;
    count -= take;
  }
}

void BgFrameReader::HeaderComplete(Sink& sink) {
  if (!IsPlausibleHeader(m_header)) {
    if (m_droppedCount == 0) {
      sink.OnUnrecognisedHeader(m_header);
    }
    Drop(m_header, 1, sink);
    m_suspect.assign(m_header + 1, m_header + kHeaderBytes);
    m_headerFill = 0;
    m_resyncPending = true;
    return;
  }
  if (m_droppedCount != 0) {
    const size_t dropped = m_droppedCount;
    m_droppedCount = 0;
    std::vector<uint8_t> bytes;
    bytes.swap(m_dropped);
    sink.OnResynchronised(dropped, bytes);
  }
  const size_t length = PayloadLength(m_header);
  if (length == 0) {
    m_headerFill = 0;
    sink.OnFrame(m_header, nullptr, 0);
    return;
  }
  m_payload.resize(length);
  m_payloadFill = 0;
  m_readingPayload = true;
}

void BgFrameReader::ConsumeAvailable(const uint8_t* data, size_t count, Sink& sink) {
  if (!m_resyncPending) {
    Consume(data, count, sink);
    return;
  }
  const size_t suspectOnly = m_suspect.size();
  m_suspect.insert(m_suspect.end(), m_arrived.begin(), m_arrived.end());
  m_arrived.clear();
  m_suspect.insert(m_suspect.end(), data, data + count);
  m_resyncPending = false;
  std::vector<uint8_t> scan;
  scan.swap(m_suspect);

  // Where the next frame starts: the first candidate whose frame is all here
  // and fills its layout exactly; failing that, the first whose frame runs
  // past what has arrived, taken on trust and read to its end.
  size_t start = 0;
  bool found = false;
  std::optional<size_t> onTrust;
  for (; start + kHeaderBytes <= scan.size(); ++start) {
    const uint8_t* header = scan.data() + start;
    if ((header[0] & kTechnologyBits) != 0 || !IsPlausibleHeader(header)) {
      continue;
    }
    const size_t length = PayloadLength(header);
    if (start + kHeaderBytes + length > scan.size()) {
      if (!onTrust) {
        onTrust = start;
      }
    } else if (PayloadFillsLayout(*BgFindHandler(header), header + kHeaderBytes, length)) {
      found = true;
      break;
    }
  }
  if (!found && onTrust) {
    start = *onTrust;
    found = true;
  }
  if (!found) {
    // Keep a tail that may begin a header still arriving, but only from the
    // newly available bytes: the suspect bytes alone never start one, so
    // garbage that arrives by itself cannot swallow the next frame.
    const size_t fresh = scan.size() - suspectOnly;
    size_t keep = std::min<size_t>(fresh, kHeaderBytes - 1);
    while (keep != 0 && !IsPlausiblePrefix(scan.data() + scan.size() - keep, keep)) {
      --keep;
    }
    start = scan.size() - keep;
  }
  Drop(scan.data(), start, sink);
  Consume(scan.data() + start, scan.size() - start, sink);
}

void BgFrameReader::Drop(const uint8_t* bytes, size_t count, Sink& sink) {
  if (count == 0) {
    return;
  }
  sink.OnDropped(bytes, count);
  Count(Health().garbageBytes, count);
  m_droppedCount += count;
  const size_t room = kDroppedBytesLogged - std::min(kDroppedBytesLogged, m_dropped.size());
  m_dropped.insert(m_dropped.end(), bytes, bytes + std::min(room, count));
}

}  // namespace lumen::details
