#pragma once

#include <boost/core/noncopyable.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace lumen::details {

// One piece of a record's body; a record is written from up to a few pieces
// so that the taps never have to join bytes first.
struct CapturePiece {
  const void* data = nullptr;
  size_t size = 0;
};

// A pcapng file being written (docs/capture.md): section and interface
// blocks, then one packet block per record, each flushed as it is written.
// Rotates to `path.1` ... when a bound is set. Not thread-safe: the caller
// holds the capture's lock.
class CaptureFile : private boost::noncopyable {
 public:
  // Throws std::runtime_error when the file cannot be created.
  CaptureFile(std::string path, uint64_t maxFileBytes, uint32_t keepFiles, std::string interfaceName);
  ~CaptureFile();

  // Returns false with `error` set when the file could not take the record.
  bool Write(uint64_t timeUs, uint8_t direction, uint8_t kind, const CapturePiece* pieces, size_t pieceCount,
             std::string& error);

  // The name a rotated file's interface block gives.
  void SetInterfaceName(std::string name) { m_interfaceName = std::move(name); }

 private:
  bool Open(std::string& error);
  bool Rotate(std::string& error);
  bool Put(const void* data, size_t size);

  std::string m_path;
  uint64_t m_maxFileBytes;
  uint32_t m_keepFiles;
  std::string m_interfaceName;
  std::FILE* m_file = nullptr;
  uint64_t m_fileBytes = 0;
  bool m_hasRecords = false;
};

}  // namespace lumen::details
