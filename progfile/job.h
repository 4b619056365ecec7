// The job: everything one operation on a board works on - the device and its mode, the clock
// range, the port and its rates, the program files with their offset and address window, and the
// selected flash blocks. A plain value: the communication object copies it when an operation
// starts, so the caller may change its own afterwards. The wizard's shared state is one; the
// command line fills one directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/catalogue.h"
#include "progfile/program_file.h"

namespace quill {

struct Job {
  std::string m_strMCUType;
  int32_t m_nClockSpeed = 10000;  // beyond every list until the configuration page is completed
  std::string m_strComPort;
  int32_t m_nComBootRate = 9600;
  int32_t m_nComUserRate = 9600;
  std::string m_strFile;
  uint32_t m_dwOffset = 0;
  uint32_t m_dwLowest = 0;
  uint32_t m_dwHighest = 0xFFFFFFFF;
  std::vector<std::string> m_astrSelectedBlocks;
  int32_t m_nMCUMode = 0;
  // Automatic Mode: the serial port's control lines set the adapter board's switches
  // (m_strLineMap says which line drives which, as "vpp=dtr,mode=rts"), each change followed by
  // m_nLineDelayMs of settling time. Off, a person sets them as the switch pages say.
  bool m_bAutomatic = false;
  std::string m_strLineMap = "vpp=dtr,mode=rts";
  int32_t m_nLineDelayMs = 100;
  const DeviceType* m_pDevice = nullptr;
  const ClockRange* m_pClockRange = nullptr;
  // The files of the run as the program-file check found them (formats recognised, lengths);
  // the first is m_strFile. Filled by the check, never saved.
  std::vector<ProgramFile> m_aProgramFiles;
  // Flash the run writes besides the files (a board's own value): the files' data inside the
  // window must not touch m_dwReservedFirst..+m_nReservedLength-1. Length 0: none. Never saved.
  uint32_t m_dwReservedFirst = 0;
  uint32_t m_nReservedLength = 0;

  // The files the programming pass reads: m_aProgramFiles when the check filled it for the
  // current m_strFile, else m_strFile alone, its format recognised from its content.
  std::vector<ProgramFile> ProgramFileSet() const;

  // Finds the device named by m_strMCUType (device 0, and its name, when none matches) and sets
  // m_pDevice and m_pClockRange. The stored indices are kept as they are; the references come from
  // indices clamped into the catalogue (beyond a list: its last entry; negative: its first), so
  // nothing ever reads outside it.
  void DeriveCatalogueRefs();

  // m_nMCUMode and m_nClockSpeed clamped into the lists of m_pDevice (which must be set).
  int ModeIndex() const;
  int ClockIndex() const;
  // The selected mode's record (m_pDevice must be set).
  const DeviceMode& Mode() const { return m_pDevice->modes[ModeIndex()]; }
};

}  // namespace quill
