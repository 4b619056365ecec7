// quill-cli kernels, kernels import and a boot's kernel refusal, as a user runs them.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "kernels/kernel_store.h"
#include "link/results.h"
#include "kernels/sha256.h"
#include "resources/fpcode.h"
#include "tests/kernels/kernel_support.h"
#include "tests/link/link_support.h"

namespace quill::test {
namespace {

const std::string kCli = std::string(QUILL_BINARY_DIR) + "/cli/quill-cli";
const std::string kSim = std::string(QUILL_BINARY_DIR) + "/sim/quill-sim";

struct CliRun {
  int status;  // the exit status, or -signal
  std::string out, err;
};

// Runs quill-cli with args; fileSizeLimit, when set, is the largest file it may write.
CliRun Cli(std::vector<std::string> args, uint64_t fileSizeLimit = 0) {
  args.insert(args.begin(), kCli);
  ChildProcess child(std::move(args), fileSizeLimit);
  const int status = child.Wait();
  return {status, child.Out(), child.Err()};
}

// The listing's line for a kernel id.
std::string LineOf(const std::string& listing, uint32_t id) {
  std::istringstream lines(listing);
  std::string line;
  char head[8];
  std::snprintf(head, sizeof head, "%4u  ", static_cast<unsigned>(id));
  while (std::getline(lines, line))
    if (line.rfind(head, 0) == 0) return line;
  return {};
}

std::vector<uint8_t> StandIn(uint32_t id) {
  const auto image = FindResource("FPCODE", id);
  return {image.begin(), image.end()};
}

TEST(CliKernels, TheListingShowsEachKernelsSourceAndImportExitsWithWhatHappened) {
  TestKernelStore store;
  ScratchDir sources;
  const CliRun empty = Cli({"kernels"});
  ASSERT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(std::count(empty.out.begin(), empty.out.end(), '\n'), 36);
  EXPECT_EQ(LineOf(empty.out, 208), " 208  TX-C31  Mode 3  >= 1 MHz, < 2 MHz     1046  " +
                                        Sha256Hex(StandIn(208)).substr(0, 12) +
                                        "  built-in stand-in (simulated boards only)");

  const fs::path real = sources.Path() / "fpcode_208.bin";
  WriteFile(real, RealKernel(208));
  const CliRun imported = Cli({"kernels", "import", real.string()});
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_TRUE(Contains(imported.out, "kernel 208 (TX-C31, Mode 3, clock range >= 1 MHz, < 2 MHz): installed"))
      << imported.out;
  EXPECT_EQ(ReadFile(KernelFilePath(store.Store(), 208)), RealKernel(208));
  const CliRun listed = Cli({"kernels"});
  EXPECT_TRUE(Contains(LineOf(listed.out, 208), Sha256Hex(RealKernel(208)).substr(0, 12) + "  " +
                                                    KernelFilePath(store.Store(), 208).string()))
      << LineOf(listed.out, 208);

  const fs::path standIn = sources.Path() / "190.bin";
  WriteFile(standIn, StandIn(190));
  const fs::path other = sources.Path() / "other" / "208.bin";
  fs::create_directories(other.parent_path());
  WriteFile(other, RealKernel(208, 7));
  struct Row {
    const char* what;
    std::vector<std::string> args;
    int status;
    const char* says;
  } rows[] = {
      {"a stand-in", {"kernels", "import", standIn.string()}, 65, "built-in stand-ins"},
      {"a different installed one", {"kernels", "import", other.string()}, 65, "give --replace"},
      {"a missing path", {"kernels", "import", (sources.Path() / "none.bin").string()}, 66, "none.bin"},
      {"--id with a folder", {"kernels", "import", "--id", "186", sources.Path().string()}, 64, "--id"},
      {"--id the catalogue lacks", {"kernels", "import", "--id", "999", real.string()}, 64, "999"},
      {"no path", {"kernels", "import"}, 64, "needs a PATH"},
      {"a stray word", {"kernels", "list"}, 64, "unexpected argument"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const CliRun run = Cli(row.args);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_TRUE(Contains(run.err, row.says)) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  EXPECT_EQ(ReadFile(KernelFilePath(store.Store(), 208)), RealKernel(208));
  const CliRun replaced = Cli({"kernels", "import", "--replace", other.string()});
  EXPECT_EQ(replaced.status, 0) << replaced.err;
  EXPECT_EQ(ReadFile(KernelFilePath(store.Store(), 208)), RealKernel(208, 7));

  // A store that cannot be made: its folder would lie inside a regular file.
  ScratchDir blocked;
  WriteFile(blocked.Path() / "quill", {1});
  ::setenv("XDG_DATA_HOME", blocked.Path().c_str(), 1);
  const CliRun unwritable = Cli({"kernels", "import", real.string()});
  EXPECT_EQ(unwritable.status, 73) << unwritable.err;
  EXPECT_TRUE(Contains(unwritable.err, "cannot be written")) << unwritable.err;
}

TEST(CliKernels, AnImportKilledWhileWritingLeavesTheInstalledKernelWhole) {
  TestKernelStore store;
  store.Install(186, RealKernel(186, 1));
  ScratchDir sources;
  const fs::path next = sources.Path() / "186.bin";
  WriteFile(next, RealKernel(186, 2));
  const CliRun killed = Cli({"kernels", "import", "--replace", next.string()}, 100);
  EXPECT_EQ(killed.status, -SIGXFSZ) << killed.err;
  EXPECT_EQ(ReadFile(KernelFilePath(store.Store(), 186)), RealKernel(186, 1));
  const CliRun listed = Cli({"kernels"});
  EXPECT_TRUE(Contains(LineOf(listed.out, 186), Sha256Hex(RealKernel(186, 1)).substr(0, 12)));
  // The half-written temporary file is no kernel, and the next import goes through.
  EXPECT_EQ(FindKernel(186, {store.Store(), {}}).bytes, RealKernel(186, 1));
  const CliRun again = Cli({"kernels", "import", "--replace", next.string()});
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(ReadFile(KernelFilePath(store.Store(), 186)), RealKernel(186, 2));
}

// A quill-sim process on its pseudo-terminal; ended with the object.
class SimProcess {
 public:
  explicit SimProcess(std::vector<std::string> args) {
    int lines[2];
    if (::pipe(lines) != 0) return;
    args.insert(args.begin(), kSim);
    args.push_back("--no-announce");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(lines[1], STDOUT_FILENO);
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(lines[1]);
    char c;
    while (::read(lines[0], &c, 1) == 1 && c != '\n') port_ += c;
    ::close(lines[0]);
  }
  // Ends the board; its exit status (2 when it saw protocol violations such as a wrong kernel).
  int Stop() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ~SimProcess() {
    if (pid_ > 0) Stop();
  }
  const std::string& Port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::string port_;
};

TEST(CliKernels, BootRefusesARealPortWithoutAKernelWith78AndBootsWithTheInstalledOne) {
  TestKernelStore store;
  const std::string file = WriteProgramFile({SRecord(1, 0x100, Pattern(8, 3))});
  const std::vector<std::string> boot = {"boot", "--device", "TX-C30", "--clock", "2", "--quiet", file};
  auto on = [&](const std::string& port) {
    std::vector<std::string> args = boot;
    args.insert(args.begin() + 1, {"--port", port});
    return Cli(args);
  };
  const CliRun refused = on("/dev/null");
  EXPECT_EQ(refused.status, 78);
  EXPECT_EQ(refused.err, FormatErrorMessage(ErrorNoKernel, 192) + "\n");
  EXPECT_TRUE(refused.out.empty());

  {  // No kernel installed: the simulated board gets the stand-in.
    SimProcess sim({"--device", "TX-C30", "--clock", "2"});
    const CliRun run = on(sim.Port());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.Stop(), 0);
  }
  // Installed in the user's store: host and board both take it (the board reports any other
  // kernel as a violation and exits with 2).
  store.Install(192, RealKernel(192));
  {
    SimProcess sim({"--device", "TX-C30", "--clock", "2"});
    const CliRun run = on(sim.Port());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sim.Stop(), 0);
  }
  const CliRun installedOnNull = on("/dev/null");
  EXPECT_NE(installedOnNull.status, 78) << "an installed kernel may go to any port";
}

}  // namespace
}  // namespace quill::test
