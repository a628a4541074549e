#pragma once

#include <string>

namespace lumen::sim {

// A pseudo-terminal in raw mode. The master side is the radio's end of the
// serial line; the slave path is what a host opens as its serial port. The
// object keeps a slave descriptor of its own, so the line and its settings
// survive the host closing and reopening the port, and bytes the radio sends
// while no host is reading wait in the terminal.
class PseudoTerminal {
 public:
  // Throws std::system_error when no terminal can be had.
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& Path() const { return m_path; }
  int MasterFd() const { return m_master; }  // non-blocking
  bool IsOpen() const { return m_master >= 0; }
  // Bytes written by the radio that the host has not read yet.
  size_t PendingForHost() const;
  // Hangs the line up: a host reading the slave gets end-of-file.
  void Close();

 private:
  int m_master = -1;
  int m_slave = -1;
  std::string m_path;
};

}  // namespace lumen::sim
