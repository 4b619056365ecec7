// The port lister against a fake /dev, sysfs, /dev/serial/by-id and lock tree made here (no USB
// adapter is attached to a test machine), the --port selectors on what it finds, simulated
// boards telling what they simulate, announcements only from a folder no one else can write, and
// whether a port is free learned without ever opening it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "link/port_list.h"
#include "link/port_names.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

namespace fs = std::filesystem;

// A pseudo-terminal whose slave no one has open. Its master is held by a child process (the far
// end of the line, as a simulator or a bridge would be) unless here is asked for: then by this
// process, which then is that far end itself.
struct PlainPty {
  explicit PlainPty(bool here = false) {
    int named[2];
    if (!here && ::pipe(named) != 0) return;
    if (!here && (child = ::fork()) != 0) {
      ::close(named[1]);
      char name[128] = {};
      const ssize_t n = ::read(named[0], name, sizeof name - 1);
      ::close(named[0]);
      if (n > 0) path.assign(name, static_cast<std::size_t>(n));
      if (path.empty()) ADD_FAILURE() << "no pseudo-terminal";
      return;
    }
    master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    const bool ok = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 &&
                    ::ptsname_r(master, name, sizeof name) == 0;
    if (here) {
      if (!ok) ADD_FAILURE() << "no pseudo-terminal";
      path = ok ? name : "";
      return;
    }
    // The child: tells the name, then holds the master until it is ended.
    (void)!::write(named[1], name, ok ? std::strlen(name) : 0);
    ::close(named[1]);
    for (;;) ::pause();
  }
  ~PlainPty() {
    if (master >= 0) ::close(master);
    if (child > 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, nullptr, 0);
    }
  }
  int master = -1;
  pid_t child = 0;
  std::string path;
};

std::string OwnName() {
  std::string name = ReadAll("/proc/self/comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

std::string InUseBy(long pid, const std::string& name) {
  return "in use by " + std::to_string(pid) + " (" + name + ")";
}

// /dev with ttyUSB0, ttyUSB1 and ttyACM0 as links to real pseudo-terminals (character devices
// that processes can hold), sysfs with the USB devices they hang off, by-id names for two of
// them, and lock folders of its own (the second a link to the first, as /var/lock usually is).
class FakeMachine : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::path(::testing::TempDir()) / ("quill_fake_sys_" + std::to_string(::getpid()));
    fs::remove_all(root);
    for (int i = 0; i < 3; ++i) ptys.push_back(std::make_unique<PlainPty>());
    roots.dev = (root / "dev").string();
    roots.sys = (root / "sys").string();
    roots.byId = (root / "dev/serial/by-id").string();
    roots.announce = (root / "ports").string();
    roots.locks = {(root / "run/lock").string(), (root / "var/lock").string()};
    fs::create_directories(roots.byId);
    fs::create_directories(roots.announce);
    fs::create_directories(roots.locks[0]);
    fs::create_directories(root / "var");
    fs::create_directory_symlink("../run/lock", roots.locks[1]);
    Adapter("ttyUSB0", ptys[0]->path, "usb1/1-1", "1-1:1.0/ttyUSB0", "0403", "6001", "FTDI",
            "FT232R USB UART", "A50285BI");
    Adapter("ttyUSB1", ptys[1]->path, "usb1/1-2", "1-2:1.0/ttyUSB1", "0403", "6001", "FTDI",
            "FT232R USB UART", "A9XK3L0Q");
    Adapter("ttyACM0", ptys[2]->path, "usb2/2-1", "2-1:1.0", "2341", "0043", "Arduino", "Uno",
            "");
    // FTDI's driver shows its chip's latency timer; CDC-ACM has none.
    std::ofstream(root / "sys/class/tty/ttyUSB0/device/latency_timer") << "16\n";
    std::ofstream(root / "sys/class/tty/ttyUSB1/device/latency_timer") << "1\n";
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
  std::vector<std::unique_ptr<PlainPty>> ptys;
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
            "serial A50285BI, latency 16 ms, free");
  EXPECT_EQ(listing.ports[1].latencyMs, 1);
  EXPECT_EQ(listing.ports[2].latencyMs, -1);
  // As an operation starts: the same timer from the path or a link to it, and a warning that
  // names the port, the timer and the remedy only above 2 ms.
  EXPECT_EQ(AdapterLatencyMs(usb0.path, roots.sys), 16);
  EXPECT_EQ(AdapterLatencyMs(roots.dev + "/ttyACM0", roots.sys), -1);
  const std::string warning = LatencyWarning(usb0.path, 16);
  for (const char* part : {"/ttyUSB0: ", "latency timer is 16 ms", "udev rule", "/sys/bus/usb-serial/devices/ttyUSB0/latency_timer"})
    EXPECT_NE(warning.find(part), std::string::npos) << part << " in " << warning;
  EXPECT_EQ(LatencyWarning(usb0.path, 2), "");
  EXPECT_EQ(listing.ports[1].path, roots.dev + "/ttyUSB1");
  EXPECT_TRUE(listing.ports[1].byId.empty());
  EXPECT_EQ(listing.ports[1].serial, "A9XK3L0Q");
  // ttyACM sits on the interface itself: the device with the ids is its parent.
  EXPECT_EQ(listing.ports[2].path, roots.dev + "/ttyACM0");
  EXPECT_EQ(listing.ports[2].vendorId, 0x2341);
  EXPECT_EQ(listing.ports[2].serial, "");

  // A port this very process holds is in use as well: the open of an operation would fail on it.
  const int held = ::open(ptys[1]->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const SerialPortInfo busy = ListSerialPorts(roots).ports[1];
  EXPECT_EQ(busy.access, PortAccess::Busy);
  EXPECT_EQ(busy.reason, InUseBy(::getpid(), OwnName()));
  ::close(held);
  EXPECT_EQ(ListSerialPorts(roots).ports[1].access, PortAccess::Free);
  // A name that leads nowhere is listed as missing; judging can be left out altogether.
  fs::create_symlink("/dev/quill-no-such-node", fs::path(roots.dev) / "ttyUSB9");
  const PortListing gone = ListSerialPorts(roots);
  ASSERT_EQ(gone.ports.size(), 4u);
  EXPECT_EQ(gone.ports[2].path, roots.dev + "/ttyUSB9");
  EXPECT_EQ(gone.ports[2].access, PortAccess::Missing);
  PortListRoots unjudged = roots;
  unjudged.judgeAccess = false;
  EXPECT_EQ(ListSerialPorts(unjudged).ports[2].access, PortAccess::Unknown);
}

// The kernel makes ttyS nodes for UARTs that are not there; sysfs names their type 0.
TEST_F(FakeMachine, LegacyPortsWithoutAUartAreLeftOut) {
  for (const auto& [name, type] : {std::pair{"ttyS0", "4"}, {"ttyS1", "0"}, {"ttyS2", ""}}) {
    fs::create_symlink(ptys[0]->path, fs::path(roots.dev) / name);
    fs::create_directories(root / "sys/class/tty" / name);
    if (*type) std::ofstream(root / "sys/class/tty" / name / "type") << type << '\n';
  }
  const PortListing listing = ListSerialPorts(roots);
  ASSERT_EQ(listing.ports.size(), 5u);
  EXPECT_EQ(listing.ports[0].path, roots.dev + "/ttyS0");
  EXPECT_EQ(listing.ports[1].path, roots.dev + "/ttyS2");
  EXPECT_EQ(listing.ports[2].path, roots.dev + "/ttyUSB0");
}

// In use: a process holding the port (even without a lock, as a terminal program may), or a
// UUCP lock whose process lives; none of it learned by opening a port.
TEST_F(FakeMachine, UseIsLearnedFromProcessesAndLocksWithoutOpening) {
  PortHolder holder(roots.dev + "/ttyUSB1", "quill-holder");
  const pid_t dead = ::fork();
  if (dead == 0) ::_exit(0);
  ASSERT_GT(dead, 0);
  ::waitpid(dead, nullptr, 0);
  std::vector<std::unique_ptr<NodeWatch>> watches;
  for (const auto& pty : ptys) watches.push_back(std::make_unique<NodeWatch>(pty->path));

  const PortListing listing = ListSerialPorts(roots);
  ASSERT_EQ(listing.ports.size(), 3u);
  EXPECT_EQ(listing.ports[0].access, PortAccess::Free);
  EXPECT_EQ(listing.ports[1].access, PortAccess::Busy);
  EXPECT_EQ(listing.ports[1].reason, InUseBy(holder.Pid(), "quill-holder"));
  EXPECT_EQ(DescribePort(listing.ports[1]),
            "USB 0403:6001 FTDI FT232R USB UART, serial A9XK3L0Q, latency 1 ms, busy: " +
                InUseBy(holder.Pid(), "quill-holder"));

  const std::string own = InUseBy(::getpid(), OwnName());
  const std::string lockFolder = fs::canonical(roots.locks[0]).string();
  auto text = [](long pid) {
    char line[16];
    std::snprintf(line, sizeof line, "%10ld\n", pid);
    return std::string(line);
  };
  const int self = ::getpid();
  const std::string binary(reinterpret_cast<const char*>(&self), sizeof self);
  const std::string ptsName = "pts_" + ptys[0]->path.substr(std::strlen("/dev/pts/"));
  const struct {
    std::string file;
    std::string content;
    std::size_t port;
    PortAccess access;
    std::string reason;
  } cases[] = {
      {"LCK..ttyUSB0", text(self), 0, PortAccess::Busy, own},
      {"LCK..ttyUSB0", binary, 0, PortAccess::Busy, own},  // as old programs write it
      {"LCK..ttyUSB0", text(dead), 0, PortAccess::Free, ""},  // stale: its process has ended
      {"LCK..ttyUSB0", "", 0, PortAccess::Busy, "locked by " + lockFolder + "/LCK..ttyUSB0"},
      {"LCK..ttyACM0", text(self), 2, PortAccess::Busy, own},
      {"LCK..ttyACM1", text(self), 2, PortAccess::Free, ""},
      {"LCK.." + ptsName, text(self), 0, PortAccess::Busy, own},  // the device the name leads to
      // A holder and a lock of the same process are one.
      {"LCK..ttyUSB1", text(holder.Pid()), 1, PortAccess::Busy, InUseBy(holder.Pid(), "quill-holder")},
  };
  for (const auto& c : cases) {
    const fs::path file = fs::path(roots.locks[0]) / c.file;
    std::ofstream(file, std::ios::binary) << c.content;
    const SerialPortInfo port = ListSerialPorts(roots).ports[c.port];
    EXPECT_EQ(port.access, c.access) << c.file << " " << c.content;
    EXPECT_EQ(port.reason, c.reason) << c.file << " " << c.content;
    fs::remove(file);
  }
  // Anyone may write in the lock folder: what is no regular file there is no lock, and a link to
  // a port leads nowhere (a pipe, if it were read as a lock, would hold the list up).
  const fs::path planted = fs::path(roots.locks[0]) / "LCK..ttyUSB0";
  fs::create_symlink(ptys[0]->path, planted);
  EXPECT_EQ(ListSerialPorts(roots).ports[0].access, PortAccess::Free);
  fs::remove(planted);
  ASSERT_EQ(::mkfifo(planted.c_str(), 0644), 0);
  EXPECT_EQ(ListSerialPorts(roots).ports[0].access, PortAccess::Free);
  fs::remove(planted);
  for (const auto& watch : watches) EXPECT_EQ(watch->Events(), 0) << "a port was opened";
}

// A simulated board's own descriptor of its line is passed over, and nothing else: the same
// descriptor number in another process, or a holder line that does not say exactly which.
TEST_F(FakeMachine, OnlyTheBoardsOwnDescriptorIsPassedOver) {
  const int held = ::open(ptys[0]->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(held, 0);
  const std::string link = roots.announce + "/board";
  fs::create_symlink(ptys[0]->path, link);
  const std::string self = std::to_string(::getpid()), fd = std::to_string(held);
  const struct {
    std::string holder;
    PortAccess access;
  } cases[] = {
      {self + ":" + fd, PortAccess::Free},
      {std::to_string(::getppid()) + ":" + fd, PortAccess::Busy},
      {self + ":" + fd + "0", PortAccess::Busy},
      {self + ":" + fd + "x", PortAccess::Busy},
      {self + ":", PortAccess::Busy},
      {":" + fd, PortAccess::Busy},
  };
  for (const auto& c : cases) {
    std::ofstream(BoardInfoPath(link)) << "device=TX-A10\nholder=" << c.holder << '\n';
    const SerialPortInfo port = ListSerialPorts(roots).ports.back();
    ASSERT_EQ(port.path, link);
    EXPECT_EQ(port.access, c.access) << c.holder << ": " << port.reason;
  }
  ::close(held);
}

// Permission is the node's mode for this user and its groups, as an open would find it. Root
// may open anything, so the list is made on a thread that has taken another identity.
TEST_F(FakeMachine, PermissionFollowsTheNodesModeAndTheUsersGroups) {
  if (::geteuid() != 0) GTEST_SKIP() << "taking another user's identity needs root";
  struct stat node;
  ASSERT_EQ(::stat(ptys[0]->path.c_str(), &node), 0);
  const gid_t group = node.st_gid;  // the terminal group the slave belongs to
  const uid_t nobody = 65534;
  auto listAs = [&](uid_t uid, std::vector<gid_t> groups) {
    SerialPortInfo port;
    std::thread([&] {
      // The raw calls change the identity of this thread alone (the C library's would change the
      // whole process); the thread ends with it.
      if (::syscall(SYS_setgroups, groups.size(), groups.data()) != 0 ||
          ::syscall(SYS_setresgid, nobody, nobody, nobody) != 0 ||
          ::syscall(SYS_setresuid, uid, uid, uid) != 0) {
        ADD_FAILURE() << "cannot take identity " << uid;
        return;
      }
      port = ListSerialPorts(roots).ports[0];
    }).join();
    return port;
  };
  const struct {
    mode_t mode;
    std::vector<gid_t> groups;
    PortAccess access;
  } cases[] = {
      {0620, {}, PortAccess::NoPermission},
      {0660, {}, PortAccess::NoPermission},
      {0660, {group}, PortAccess::Free},
      {0640, {group}, PortAccess::NoPermission},  // read alone is not enough
      {0666, {}, PortAccess::Free},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(::chmod(ptys[0]->path.c_str(), c.mode), 0);
    const SerialPortInfo port = listAs(nobody, c.groups);
    EXPECT_EQ(port.access, c.access) << std::oct << c.mode << " groups " << c.groups.size();
    if (c.access == PortAccess::NoPermission) {
      EXPECT_NE(DescribePort(port).find("no permission: serial devices belong to a group"),
                std::string::npos);
    }
  }
  ASSERT_EQ(::chmod(ptys[0]->path.c_str(), 0600), 0);
  EXPECT_EQ(ListSerialPorts(roots).ports[0].access, PortAccess::Free) << "root opens anything";
}

// A process that holds a pseudo-terminal's master is the far end of its line: its own hold on the
// slave is no use of the port; another process's hold is.
TEST_F(FakeMachine, TheFarEndOfAPseudoTerminalIsNoUserOfIt) {
  PlainPty own(true);
  const int slave = ::open(own.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(slave, 0);
  fs::create_symlink(own.path, fs::path(roots.dev) / "ttyUSB7");
  const auto bridge = [this] { return ListSerialPorts(roots).ports[2]; };
  ASSERT_EQ(bridge().path, roots.dev + "/ttyUSB7");
  EXPECT_EQ(bridge().access, PortAccess::Free) << bridge().reason;
  {
    PortHolder holder(own.path, "quill-holder");
    EXPECT_EQ(bridge().reason, InUseBy(holder.Pid(), "quill-holder"));
  }
  ::close(slave);
}

// The list made again and again, as a wizard refreshing it would, while a board runs on the
// port: the board never sees its line opened or closed, nor its settings changed.
TEST_F(FakeMachine, ListingAHundredTimesLeavesARunningBoardsLineUntouched) {
  const std::string runtime = (root / "run").string();
  ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
  std::mutex mutex;
  std::condition_variable closed;
  int closes = 0;
  sim::BoardOptions options;
  options.state = sim::BoardState::User;
  options.announce = true;
  options.log = [&](sim::LogKind kind, std::string_view text) {
    if (kind != sim::LogKind::Event || text != "host closed the port") return;
    std::lock_guard<std::mutex> lock(mutex);
    ++closes;
    closed.notify_all();
  };
  auto board = StartBoard(options);
  // The board names its own descriptor of the line: through it the test reads the line as the
  // board has it, without opening it (a copy of it would be one more user of the port).
  const std::string info = ReadAll(BoardInfoPath(board->AnnouncePath()));
  const std::string prefix = "holder=" + std::to_string(::getpid()) + ":";
  const auto at = info.find(prefix);
  ASSERT_NE(at, std::string::npos) << info;
  const int line = std::atoi(info.c_str() + at + prefix.size());
  struct termios before {};
  ASSERT_EQ(::tcgetattr(line, &before), 0);
  NodeWatch watch(board->PortPath());

  PortListRoots trusted = roots;
  trusted.announce.clear();
  for (int i = 0; i < 100; ++i) {
    const PortListing listing = ListSerialPorts(trusted);
    ASSERT_EQ(listing.ports.size(), 4u);
    ASSERT_EQ(listing.ports.back().path, board->AnnouncePath());
    // The board's own hold on its line is no use of the port.
    ASSERT_EQ(listing.ports.back().access, PortAccess::Free) << listing.ports.back().reason;
  }
  EXPECT_EQ(watch.Events(), 0) << "the line was opened, closed or changed";
  struct termios after {};
  ASSERT_EQ(::tcgetattr(line, &after), 0);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc), 0);
  EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
  EXPECT_TRUE(board->Received().empty());
  EXPECT_TRUE(board->Errors().empty());
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(closes, 0);
  }

  // What the watch and the board would have seen: one open of the port shows in both.
  EXPECT_TRUE(OpensForExclusiveUse(board->AnnouncePath()));
  EXPECT_EQ(watch.Opens(), 1);
  std::unique_lock<std::mutex> lock(mutex);
  EXPECT_TRUE(closed.wait_for(lock, std::chrono::seconds(5), [&] { return closes == 1; }));
  lock.unlock();
  board->Stop();
  ::unsetenv("XDG_RUNTIME_DIR");
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
