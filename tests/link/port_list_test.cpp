// The port lister against a fake /dev, sysfs and /dev/serial/by-id tree made here (no USB
// adapter is attached to a test machine), the --port selectors on what it finds, simulated
// boards telling what they simulate, and announcements only from a folder no one else can write.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "link/port_list.h"
#include "link/port_names.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

namespace fs = std::filesystem;

// /dev with ttyUSB0, ttyUSB1 and ttyACM0 as links to real pseudo-terminals (so they open),
// sysfs with the USB devices they hang off, and by-id names for two of them.
class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::path(::testing::TempDir()) / ("quill_fake_sys_" + std::to_string(::getpid()));
    fs::remove_all(root);
    for (int i = 0; i < 3; ++i) {
      sim::BoardOptions options;
      options.state = sim::BoardState::User;
      boards.push_back(StartBoard(options));
    }
    roots.dev = (root / "dev").string();
    roots.sys = (root / "sys").string();
    roots.byId = (root / "dev/serial/by-id").string();
    roots.announce = (root / "ports").string();
    fs::create_directories(roots.byId);
    fs::create_directories(roots.announce);
    Adapter("ttyUSB0", boards[0]->PortPath(), "usb1/1-1", "1-1:1.0/ttyUSB0", "0403", "6001", "FTDI",
            "FT232R USB UART", "A50285BI");
    Adapter("ttyUSB1", boards[1]->PortPath(), "usb1/1-2", "1-2:1.0/ttyUSB1", "0403", "6001", "FTDI",
            "FT232R USB UART", "A9XK3L0Q");
    Adapter("ttyACM0", boards[2]->PortPath(), "usb2/2-1", "2-1:1.0", "2341", "0043", "Arduino", "Uno",
            "");
    fs::create_symlink("../../ttyUSB0", fs::path(roots.byId) / "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
    fs::create_symlink("../../ttyACM0", fs::path(roots.byId) / "usb-Arduino_Uno-if00");
    // Names that are no serial devices are left out.
    std::ofstream(fs::path(roots.dev) / "ttyUSBx");
    std::ofstream(fs::path(roots.dev) / "null");
  }
  void TearDown() override { fs::remove_all(root); }

  void Adapter(const std::string& name, const std::string& pty, const std::string& usbDevice,
               const std::string& ttyBelow, const char* vid, const char* pid, const char* maker,
               const char* product, const char* serial) {
    fs::create_symlink(pty, fs::path(roots.dev) / name);
    const fs::path device = root / "sys/devices/pci0000:00" / usbDevice;
    fs::create_directories(device / ttyBelow);
    std::ofstream(device / "idVendor") << vid << '\n';
    std::ofstream(device / "idProduct") << pid << '\n';
    std::ofstream(device / "manufacturer") << maker << '\n';
    std::ofstream(device / "product") << product << '\n';
    if (*serial) std::ofstream(device / "serial") << serial << '\n';
    fs::create_directories(root / "sys/class/tty" / name);
    fs::create_directory_symlink(device / ttyBelow, root / "sys/class/tty" / name / "device");
  }

  fs::path root;
  PortListRoots roots;
  std::vector<std::unique_ptr<sim::SimBoard>> boards;
};

TEST_F(FakeMachine, ListsEveryAdapterWithItsIdentityInOrder) {
  const PortListing listing = ListSerialPorts(roots);
  ASSERT_EQ(listing.ports.size(), 3u);
  EXPECT_TRUE(listing.warnings.empty());
  const SerialPortInfo& usb0 = listing.ports[0];
  EXPECT_EQ(usb0.path, roots.dev + "/ttyUSB0");
  EXPECT_EQ(usb0.byId, roots.byId + "/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0");
  EXPECT_TRUE(usb0.usb);
  EXPECT_EQ(usb0.vendorId, 0x0403);
  EXPECT_EQ(usb0.productId, 0x6001);
  EXPECT_EQ(usb0.manufacturer, "FTDI");
  EXPECT_EQ(usb0.product, "FT232R USB UART");
  EXPECT_EQ(usb0.serial, "A50285BI");
  EXPECT_EQ(usb0.access, PortAccess::Free);
  EXPECT_EQ(DescribePort(usb0),
            "by-id usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0, USB 0403:6001 FTDI FT232R USB UART, "
            "serial A50285BI, free");
  EXPECT_EQ(listing.ports[1].path, roots.dev + "/ttyUSB1");
  EXPECT_TRUE(listing.ports[1].byId.empty());
  EXPECT_EQ(listing.ports[1].serial, "A9XK3L0Q");
  // ttyACM sits on the interface itself: the device with the ids is its parent.
  EXPECT_EQ(listing.ports[2].path, roots.dev + "/ttyACM0");
  EXPECT_EQ(listing.ports[2].vendorId, 0x2341);
  EXPECT_EQ(listing.ports[2].serial, "");

  // A port held by another program is busy.
  const int held = ::open(boards[1]->PortPath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(ListSerialPorts(roots).ports[1].access, PortAccess::Busy);
  ::close(held);
  std::string reason;
  EXPECT_EQ(ProbePortAccess(roots.dev + "/ttyUSB9", &reason), PortAccess::Missing);
}

TEST_F(FakeMachine, SelectorsChooseOnePortOrNameWhatTheyFound) {
  const std::vector<SerialPortInfo> ports = ListSerialPorts(roots).ports;
  const std::string usb0 = roots.dev + "/ttyUSB0", usb1 = roots.dev + "/ttyUSB1",
                    acm0 = roots.dev + "/ttyACM0";
  const struct {
    std::string selector;
    std::string path;  // empty: an error that contains says
    std::string says;
  } cases[] = {
      {"/dev/pts/77", "/dev/pts/77", ""},  // a path is taken as it is
      {"serial:A9XK3L0Q", usb1, ""},
      {"usb:403:6001:A50285BI", usb0, ""},
      {"usb:2341:0043", acm0, ""},
      {"USB:2341:0043", "USB:2341:0043", ""},  // not a selector: a (strange) path
      {"usb:0403:6001", "", "matches several ports: " + usb0 + " (USB 0403:6001, serial A50285BI), " + usb1},
      {"serial:NOPE", "", "matches no port; USB serial adapters: " + usb0},
      {"usb:0403:6002", "", "'usb:0403:6002' matches no port"},
      {"usb:0403", "", "accepted: usb:VID:PID or usb:VID:PID:SERIAL"},
      {"usb:04030:6001", "", "accepted: usb:VID:PID"},
      {"usb:0403:6001:", "", "accepted: usb:VID:PID"},
      {"serial:", "", "accepted: serial:SERIAL"},
      {"auto", "", "several USB serial adapters"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_EQ(SelectPort(c.selector, ports, &error), c.path) << c.selector;
    if (c.path.empty()) {
      EXPECT_NE(error.find(c.says), std::string::npos) << c.selector << ": " << error;
    }
  }
  std::string error;
  EXPECT_EQ(SelectPort("auto", {ports[2]}, &error), acm0);
  EXPECT_EQ(SelectPort("auto", {}, &error), "");
  EXPECT_NE(error.find("no USB serial adapter found"), std::string::npos) << error;
}

TEST_F(FakeMachine, SimulatedBoardsTellWhatTheySimulate) {
  sim::BoardOptions options;
  options.device = 2;  // TX-C31
  options.mode = 1;
  options.clock = 8;
  options.announce = true;
  options.announceName = "line-1";
  const std::string runtime = (root / "run").string();
  fs::create_directories(runtime);
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  auto board = StartBoard(options);
  PortListRoots trusted = roots;
  trusted.announce.clear();
  const PortListing listing = ListSerialPorts(trusted);
  ASSERT_EQ(listing.ports.size(), 4u);
  const SerialPortInfo& sim = listing.ports.back();
  EXPECT_EQ(sim.path, board->AnnouncePath());
  EXPECT_TRUE(sim.simulated);
  EXPECT_EQ(DescribePort(sim), "simulated TX-C31 Mode 3, >= 16 MHz, free");
  board->Stop();
  EXPECT_FALSE(fs::exists(BoardInfoPath(board->AnnouncePath())));
  ::unsetenv("XDG_RUNTIME_DIR");
}

// Where XDG_RUNTIME_DIR is unset the folder is under /tmp, where anyone may create it first.
TEST(AnnounceFolder, OnlyAFolderOfThisUserThatNoOneElseCanWriteIsTrusted) {
  const std::string base = ::testing::TempDir() + "quill_trust_" + std::to_string(::getpid());
  std::filesystem::remove_all(base);
  ::setenv("XDG_RUNTIME_DIR", base.c_str(), 1);
  std::string problem;
  EXPECT_FALSE(TrustAnnounceDirectory(false, &problem));
  EXPECT_TRUE(problem.empty()) << "a missing folder is no warning";
  ASSERT_TRUE(TrustAnnounceDirectory(true, &problem)) << problem;
  struct stat st;
  ASSERT_EQ(::stat((base + "/quill/ports").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  for (const std::string& folder : {base, base + "/quill/ports"}) {
    ::chmod(folder.c_str(), 0777);
    EXPECT_FALSE(TrustAnnounceDirectory(false, &problem)) << folder;
    EXPECT_NE(problem.find("may be written by others"), std::string::npos) << problem;
    EXPECT_FALSE(ListSerialPorts(PortListRoots{}).warnings.empty());
    ::chmod(folder.c_str(), 0700);
  }
  // A link planted in the folder's place is not followed.
  std::filesystem::remove_all(base);
  std::filesystem::create_directories(base + "-elsewhere/quill/ports");
  std::filesystem::create_directory_symlink(base + "-elsewhere", base);
  EXPECT_FALSE(TrustAnnounceDirectory(true, &problem));
  EXPECT_NE(problem.find("is not a folder"), std::string::npos) << problem;
  sim::BoardOptions options;
  options.announce = true;
  sim::SimBoard board(options);
  std::string error;
  EXPECT_FALSE(board.Start(&error));
  EXPECT_NE(error.find("cannot announce the port"), std::string::npos) << error;
  std::filesystem::remove(base);
  std::filesystem::remove_all(base + "-elsewhere");
  ::unsetenv("XDG_RUNTIME_DIR");
}

}  // namespace
}  // namespace quill::test
