// The serial port on the Win32 communications API: the Windows build's counterpart of
// serial_port.cpp, with the same behaviour towards the protocol code.
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "link/results.h"
#include "link/serial_port.h"

namespace quill {
namespace {

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

// "COM5" opens as "\\.\COM5": the plain name works only for COM1 to COM9, and USB adapters are
// usually numbered above those. A name that already is a device path is used as it is.
std::string DevicePath(const std::string& name) {
  if (name.rfind("\\\\.\\", 0) == 0) return name;
  return "\\\\.\\" + name;
}

HANDLE OpenExclusive(const std::string& name) {
  // No sharing: a second opener, in this or any other program, is refused.
  return ::CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The number of a "COMn" name; 0 for any other name, which sorts first.
unsigned long ComNumber(const std::string& name) {
  if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return 0;
  if (!std::all_of(name.begin() + 3, name.end(), [](unsigned char c) { return std::isdigit(c); }))
    return 0;
  return std::strtoul(name.c_str() + 3, nullptr, 10);
}

}  // namespace

// The port's settings as the open found them, put back by Close.
struct CSerialPort::SavedSettings {
  DCB dcb{};
  COMMTIMEOUTS timeouts{};
  bool haveTimeouts = false;
};

CSerialPort::CSerialPort() = default;
CSerialPort::~CSerialPort() { Close(); }

namespace {

// 8N1 at the rate asked for, binary, no hardware or software flow control, DTR and RTS held
// inactive, no error character or null stripping, and no abort on errors.
void RawSettings(DCB& dcb, uint32_t baud) {
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
}

}  // namespace

PortOpenResult CSerialPort::OpenPort(const std::string& name, uint32_t baud) {
  Close();
  const HANDLE handle = OpenExclusive(name);
  if (handle == INVALID_HANDLE_VALUE) {
    return {InternalError::PortOpen, static_cast<int>(::GetLastError())};
  }
  m_hPort = handle;
  m_baud = baud;
  m_readTimeout = std::chrono::milliseconds(0);

  auto fail = [this](uint32_t number) {
    const int error = static_cast<int>(::GetLastError());
    Close();
    return PortOpenResult{number, error};
  };

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(handle, &dcb)) return fail(InternalError::GetCommState);
  m_saved = std::make_unique<SavedSettings>();
  m_saved->dcb = dcb;
  if (!::BuildCommDCBA("1200,n,8,1", &dcb)) return fail(InternalError::BuildCommDcb);
  RawSettings(dcb, baud);
  // A rate of 0 means nothing to a UART; a driver that takes a rate but realises another (the
  // settings read back differ) has refused it as surely as one that fails the call.
  DCB check{};
  check.DCBlength = sizeof check;
  if (baud == 0 || baud > 0x7FFFFFFF || !::SetCommState(handle, &dcb) ||
      !::GetCommState(handle, &check) || check.BaudRate != baud || check.ByteSize != 8 ||
      check.Parity != NOPARITY || check.StopBits != ONESTOPBIT || check.fOutxCtsFlow != 0 ||
      check.fOutX != 0 || check.fInX != 0) {
    return fail(InternalError::SetCommState);
  }
  // The lines once more on their own: a port without modem lines refuses these calls, which is
  // harmless, since it has no lines to drive.
  (void)::EscapeCommFunction(handle, CLRDTR);
  (void)::EscapeCommFunction(handle, CLRRTS);

  if (!::PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR)) {
    return fail(InternalError::PurgeComm);
  }
  COMMTIMEOUTS timeouts{};
  if (!::GetCommTimeouts(handle, &timeouts)) return fail(InternalError::GetCommTimeouts);
  m_saved->timeouts = timeouts;
  m_saved->haveTimeouts = true;
  if (!SetReadTimeout(kReadTimeout)) return fail(InternalError::SetCommTimeouts);
  return {};
}

// A read returns at once with a byte that is there, waits for the first one otherwise, and
// returns empty after timeout. Writes give up after one second plus twice their time on the
// line (10 bits a byte), so a line that never drains cannot hold the caller.
bool CSerialPort::SetReadTimeout(std::chrono::milliseconds timeout) {
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
  timeouts.ReadTotalTimeoutConstant =
      static_cast<DWORD>(std::clamp<long long>(timeout.count(), 1, MAXDWORD - 1));
  timeouts.WriteTotalTimeoutMultiplier = m_baud ? static_cast<DWORD>((20000 + m_baud - 1) / m_baud) : 0;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!::SetCommTimeouts(AsHandle(m_hPort), &timeouts)) return false;
  m_readTimeout = timeout;
  return true;
}

void CSerialPort::Close() {
  if (m_hPort == nullptr) return;
  // The settings as the open found them; a port that refuses them is closed all the same. A
  // port whose lines drive a board's switches keeps them released.
  if (m_saved && m_bDropLines) {
    m_saved->dcb.fDtrControl = DTR_CONTROL_DISABLE;
    m_saved->dcb.fRtsControl = RTS_CONTROL_DISABLE;
  }
  if (m_saved) {
    (void)::SetCommState(AsHandle(m_hPort), &m_saved->dcb);
    if (m_saved->haveTimeouts) (void)::SetCommTimeouts(AsHandle(m_hPort), &m_saved->timeouts);
  }
  m_saved.reset();
  if (m_bDropLines) {
    (void)::EscapeCommFunction(AsHandle(m_hPort), CLRDTR);
    (void)::EscapeCommFunction(AsHandle(m_hPort), CLRRTS);
  }
  m_bDropLines = false;
  ::CloseHandle(AsHandle(m_hPort));
  m_hPort = nullptr;
}

int CSerialPort::SetModemLine(bool dtr, bool asserted) {
  if (m_hPort == nullptr) return ERROR_INVALID_HANDLE;
  const DWORD function = dtr ? (asserted ? SETDTR : CLRDTR) : (asserted ? SETRTS : CLRRTS);
  return ::EscapeCommFunction(AsHandle(m_hPort), function) ? 0 : static_cast<int>(::GetLastError());
}

void CSerialPort::DropLinesOnClose() { m_bDropLines = m_hPort != nullptr; }

CSerialPort::ReadResult CSerialPort::ReadOne(uint8_t& byte, std::chrono::milliseconds timeout) {
  auto failed = [this] {
    if (m_trace) m_trace->Trace(TraceKind::ReadFailed, nullptr, 0);
    return ReadResult::Failed;
  };
  if (m_hPort == nullptr) return failed();
  // Tests shorten the wait; the driver is told only when it changes.
  if (timeout != m_readTimeout && !SetReadTimeout(timeout)) return failed();
  DWORD got = 0;
  if (!::ReadFile(AsHandle(m_hPort), &byte, 1, &got, nullptr)) return failed();
  if (got == 1) {
    if (m_trace) m_trace->Trace(TraceKind::Read, &byte, 1);
    return ReadResult::Byte;
  }
  // A read that came back empty may be a port that is gone (an unplugged adapter): asking for
  // its status then fails, where a port that is merely silent answers.
  DWORD errors = 0;
  COMSTAT status{};
  if (!::ClearCommError(AsHandle(m_hPort), &errors, &status)) return failed();
  if (m_trace) m_trace->Trace(TraceKind::ReadTimeout, nullptr, 0);
  return ReadResult::Timeout;
}

bool CSerialPort::Write(const uint8_t* data, std::size_t length) {
  auto result = [&](bool ok) {
    if (m_trace) m_trace->Trace(ok ? TraceKind::Written : TraceKind::WriteFailed, data, length);
    return ok;
  };
  if (m_hPort == nullptr || length > MAXDWORD) return result(false);
  DWORD written = 0;
  // A write that timed out succeeds with fewer bytes: the line did not take them all.
  const bool ok = ::WriteFile(AsHandle(m_hPort), data, static_cast<DWORD>(length), &written, nullptr);
  return result(ok && written == length);
}

std::vector<std::string> ListCandidatePorts() {
  std::vector<std::string> ports;
  HKEY key = nullptr;
  if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return ports;
  }
  for (DWORD index = 0;; ++index) {
    char valueName[256];
    DWORD nameLength = sizeof valueName;
    char data[256];
    DWORD dataLength = sizeof data - 1;
    DWORD type = 0;
    const LONG status = ::RegEnumValueA(key, index, valueName, &nameLength, nullptr, &type,
                                        reinterpret_cast<BYTE*>(data), &dataLength);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status != ERROR_SUCCESS || type != REG_SZ) continue;
    data[dataLength] = '\0';  // registry strings need not be terminated
    const std::string port = data;
    if (!port.empty() && std::find(ports.begin(), ports.end(), port) == ports.end()) {
      ports.push_back(port);
    }
  }
  ::RegCloseKey(key);
  std::sort(ports.begin(), ports.end(), [](const std::string& a, const std::string& b) {
    const unsigned long na = ComNumber(a), nb = ComNumber(b);
    return na != nb ? na < nb : a < b;
  });
  return ports;
}

// Nothing tells a simulated board's port from a real one here.
bool CSerialPort::IsOnPseudoTerminal() const { return false; }

bool IsPseudoTerminal(const std::string&) { return false; }

}  // namespace quill
