// The Windows serial unit on its own: the port list from the registry's serial devices, and the
// open failures that need no board. (Its transfers run against the simulated board in the wine
// tests of quill-cli.exe.)
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "link/comm_thread.h"
#include "link/port_list.h"
#include "link/results.h"
#include "link/serial_port.h"
#include "progfile/job.h"

namespace quill {
namespace {

constexpr const char* kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Adds values to the registry's list of serial devices for the life of the object.
class SerialCommEntries {
 public:
  explicit SerialCommEntries(std::vector<std::pair<std::string, std::string>> entries)
      : entries_(std::move(entries)) {
    EXPECT_EQ(::RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSerialComm, 0, nullptr, REG_OPTION_VOLATILE,
                                KEY_ALL_ACCESS, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
    for (const auto& [name, port] : entries_) {
      EXPECT_EQ(::RegSetValueExA(key_, name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(port.c_str()),
                                 static_cast<DWORD>(port.size() + 1)),
                ERROR_SUCCESS);
    }
  }
  ~SerialCommEntries() {
    for (const auto& entry : entries_) ::RegDeleteValueA(key_, entry.first.c_str());
    ::RegCloseKey(key_);
  }

 private:
  std::vector<std::pair<std::string, std::string>> entries_;
  HKEY key_ = nullptr;
};

std::size_t IndexOf(const std::vector<std::string>& list, const std::string& name) {
  return static_cast<std::size_t>(std::find(list.begin(), list.end(), name) - list.begin());
}

// COM10 comes after COM9, not between COM1 and COM2; a port listed twice is offered once.
TEST(WindowsSerialPort, CandidatesInNumericOrder) {
  const SerialCommEntries entries({{"\\Device\\QuillTest10", "COM10"},
                                   {"\\Device\\QuillTest2", "COM2"},
                                   {"\\Device\\QuillTest113", "COM113"},
                                   {"\\Device\\QuillTest9", "COM9"},
                                   {"\\Device\\QuillTest9b", "COM9"}});
  const std::vector<std::string> ports = ListCandidatePorts();
  const std::vector<std::string> order = {"COM2", "COM9", "COM10", "COM113"};
  for (std::size_t i = 0; i < order.size(); ++i) {
    ASSERT_LT(IndexOf(ports, order[i]), ports.size()) << order[i];
    if (i > 0) {
      EXPECT_LT(IndexOf(ports, order[i - 1]), IndexOf(ports, order[i])) << order[i];
    }
  }
  EXPECT_EQ(std::count(ports.begin(), ports.end(), "COM9"), 1);
  // The list opens none of them (none exists here: an open would find each missing).
  const PortListing listing = ListSerialPorts();
  ASSERT_EQ(listing.ports.size(), ports.size());
  for (const SerialPortInfo& port : listing.ports) {
    EXPECT_EQ(port.access, PortAccess::Unknown) << port.path;
    EXPECT_EQ(DescribePort(port), "not known whether free (the system tells only when the port is opened)");
  }
}

TEST(WindowsSerialPort, PortsThatDoNotOpen) {
  CSerialPort port;
  for (const char* name : {"COM199", "\\\\.\\COM198", "NOTAPORT"}) {
    EXPECT_EQ(port.Open(name, 9600), InternalError::PortOpen) << name;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_NE(port.OpenPort(name, 9600).systemError, 0) << name << ": the open tells why";
  }
  // Nothing tells a simulated board's port from a real one here.
  EXPECT_FALSE(IsPseudoTerminal("COM5"));
}

// The communication object reports the failed open as the operation's outcome.
TEST(WindowsSerialPort, StartOnAMissingPortFailsWith254) {
  class Counter : public ProgressNotifier {
   public:
    void Notify(const Progress&) override { ++count; }
    int count = 0;
  } notifier;
  CCommThread comm;
  Job sheet;
  sheet.m_strMCUType = "TX-C30";
  sheet.DeriveCatalogueRefs();
  sheet.m_strComPort = "COM197";
  sheet.m_nComUserRate = 9600;
  sheet.m_astrSelectedBlocks = {"LB0"};
  // The worker opens the port; the failed open is the operation's outcome, told with the idle step.
  ASSERT_TRUE(comm.StartErase(&notifier, sheet));
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (comm.GetProgressForTesting().phase != PhaseIdle &&
         std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  uint32_t detail = 0;
  EXPECT_EQ(comm.GetResult(detail), ErrorInternal);
  EXPECT_EQ(detail, InternalError::PortOpen);
  comm.DetachNotifier(&notifier);
  EXPECT_EQ(notifier.count, 1);
}

}  // namespace
}  // namespace quill
