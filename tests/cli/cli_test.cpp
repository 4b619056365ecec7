// quill-cli run as a separate process: its standard output, standard error and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <random>
#include <sstream>

#include "../progfile/srec_test_util.h"
#include "resources/format.h"
#include "resources/strings.h"

using namespace quill;
using namespace quill::testing;

namespace {

struct CliResult {
  int status = -1;
  std::string out, err;
};

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class QuillCli : public ::testing::Test {
 protected:
  CliResult Run(const std::vector<std::string>& args) {
    std::string command = Quote(QUILL_BINARY_DIR "/cli/quill-cli");
    for (const std::string& arg : args) command += " " + Quote(arg);
    command += " >" + Quote(dir_.File("out")) + " 2>" + Quote(dir_.File("err")) + " </dev/null";
    const int raw = std::system(command.c_str());
    CliResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = Slurp(dir_.File("out"));
    result.err = Slurp(dir_.File("err"));
    return result;
  }

  // 600 random bytes at 0xF8 in 16-byte S1 records, written by srec_cat.
  std::string GeneratedFile() {
    std::vector<uint8_t> bytes(600);
    std::mt19937 random(3);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    WriteBytes(dir_.File("in.bin"), bytes);
    const std::string path = dir_.File("gen.s19");
    RunSrecCat(dir_.File("in.bin") + " -binary -offset 0xF8 -o " + path +
               " -Motorola -Output_Block_Size 16");
    return path;
  }

  std::string TextFile(const std::string& name, const std::string& text) {
    const std::string path = dir_.File(name);
    WriteText(path, text);
    return path;
  }

  TempDir dir_;
};

TEST_F(QuillCli, CheckPrintsBlocksAndCountsOfTheWindow) {
  const std::string file = GeneratedFile();
  CliResult r = Run({"check", "--device", "TX-C30", "--lowest", "100", "--highest=H'1FF", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "blocks: SB2 SB3\ninside: H'100\noutside: H'158\n");
  EXPECT_EQ(r.err, "");

  r = Run({"check", "--device", "TX-C30", file});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "blocks: SB1 SB2 SB3 SB4\ninside: H'258\noutside: H'0\n");

  // -F8 moves the data down to 0: the first 0xF8 bytes now fill SB0 and SB1.
  r = Run({"check", "--device", "TX-C30", "--offset", "-F8", "--highest", "D'255", file});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "blocks: SB0 SB1\ninside: H'100\noutside: H'158\n");
}

TEST_F(QuillCli, CheckOfAFileThatProgramsNothingWarnsAndSucceeds) {
  const std::string file = GeneratedFile();
  const CliResult r = Run({"check", "--device", "TX-C30", "--highest", "F7", file});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "blocks:\ninside: H'0\noutside: H'258\n");
  EXPECT_EQ(r.err,
            "warning: The file, offset, lowest address and highest address you have selected "
            "will not program any data into flash memory.\n");
}

TEST_F(QuillCli, CheckOfBadFilesFailsWithTheirMessages) {
  const std::string bad = TextFile("bad.s19", Srec(1, 0, Bytes(4)) + "\n\n");
  CliResult r = Run({"check", "--device", "TX-A10", bad});
  EXPECT_EQ(r.status, 65);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, FormatString(136, {bad}) + "\n");

  const std::string damaged =
      TextFile("sum.s19", "S0030000FC\n" + Srec(1, 0, Bytes(4)) + "\n" + Srec(1, 4, Bytes(4), 1) + "\n");
  r = Run({"check", "--device", "TX-A10", damaged});
  EXPECT_EQ(r.status, 65);
  EXPECT_EQ(r.err, FormatString(StrId::ChecksumError, {damaged, 3}) + "\n");

  const std::string missing = dir_.File("missing.s19");
  r = Run({"check", "--device", "TX-A10", missing});
  EXPECT_EQ(r.status, 66);
  EXPECT_EQ(r.err, "The file '" + missing + "' could not be opened: No such file or directory.\n");
}

TEST_F(QuillCli, ModeSelectsTheMapOfTX_C31) {
  const std::string file = TextFile("lb7.s19", Srec(1, 0xF000, Bytes(16)) + "\n");
  for (const char* mode : {"Mode 3", "3"}) {
    const CliResult r = Run({"check", "--device", "TX-C31", "--mode", mode, file});
    EXPECT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(r.out, "blocks: LB7\ninside: H'10\noutside: H'0\n") << mode;
  }
  // Mode 2 ends at EF7F, so the record is outside its window by default.
  const CliResult r = Run({"check", "--device", "TX-C31", file});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "blocks:\ninside: H'0\noutside: H'10\n");
}

TEST_F(QuillCli, UsageErrorsNameTheArgument) {
  const std::string file = TextFile("ok.s19", "S9030000FC\n");
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{"flash"}, "unknown command 'flash'"},
      {{"check", "--device", "TX-C30", "--port", "x", file}, "unknown option '--port' for check"},
      {{"check", file}, "--device is required; accepted: TX-A10, TX-C30, TX-C31"},
      {{"check", "--device", "tx-c99", file}, "--device 'tx-c99' is not a device"},
      {{"check", "-d", "TX-C30", "-x", file}, "unknown option '-x' for check"},
      {{"check", "-d", "TX-C30", "-q", file}, "unknown option '-q' for check"},
      {{"check", "--device", "TX-C30", "--mode", "2", file},
       "--mode: TX-C30 has a single mode; --mode is accepted only for TX-C31"},
      {{"check", "--device", "TX-C31", "--mode", "Mode 4", file},
       "accepted: \"Mode 2\" or 2, \"Mode 3\" or 3"},
      {{"check", "--device", "TX-C30", "--offset", "1F 00", file}, "--offset '1F 00': " + LoadString(132)},
      {{"check", "--device", "TX-C30", "--lowest", "", file}, "--lowest '': " + LoadString(132)},
      {{"check", "--device", "TX-A10", "--lowest", "H'20000", file},
       "--lowest H'20000: Please enter a hexadecimal integer value between H'0 and  H'1FFFF."},
      {{"check", "--device", "TX-C30", "--lowest", "200", "--highest", "1FF", file},
       "--highest H'1FF: Please enter a hexadecimal integer value between H'200 and  H'7FFF."},
      {{"check", "--device", "TX-C30"}, "missing FILE"},
      {{"check", "--device", "TX-C30", file, "--binary", "100"}, "--binary needs an ADDRESS and then the FILE"},
      {{"check", "--device", "TX-C30", "--binary", "1 2", file}, "--binary '1 2': " + LoadString(132)},
      {{"check", "--device"}, "--device needs a value"},
      {{"devices", "extra"}, "unexpected argument 'extra'"},
      // Network ports: checked before anything is opened or connected.
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "rfc2217://rack1"},
       "'rfc2217://rack1': the port number is missing"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "tcp://rack1:"},
       "'tcp://rack1:': the port number is missing"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "tcp://rack1:0"},
       "the port number 0 is outside 1 to 65535"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "rfc2217://rack1:65536"},
       "the port number 65536 is outside 1 to 65535"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "telnet://rack1:23"},
       "'telnet://rack1:23': not a known kind of network port; accepted: rfc2217://HOST:PORT or "
       "tcp://HOST:PORT"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "tcp://fd00::1:3001"},
       "an IPv6 address goes in brackets"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "tcp://[fd00::1:3001"},
       "the IPv6 address lacks its ']'"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "tcp://:3001"}, "the host is missing"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "tcp://[::1]:1", "-p", "tcp://[::1]:1"},
       "--port: tcp://[::1]:1 is given more than once"},
      // The record store: checked before any port is opened.
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "tcp://[::1]:1", "--records", "mysql://db"},
       "--records: 'mysql://db' is no record store; accepted: sqlite:PATH"},
      {{"erase", "-d", "TX-A10", "--blocks", "all", "-p", "tcp://[::1]:1", "--station", "s1"},
       "--station names the station in the record store: it needs --records URL"},
      {{"records"}, "--records is required"},
      {{"records", "--records", "sqlite:x.sqlite", "--since", "2026-13-01"}, "--since '2026-13-01' is no time"},
      {{"records", "flush", "--csv"}, "--csv: records flush takes only --records"},
      {{"records", "list"}, "unexpected argument 'list'"},
      // Per-board values.
      {{"program", "-d", "TX-A10", "-p", "tcp://[::1]:1", "--value-from", "1", file}, "--value-from needs --value"},
      {{"program", "-d", "TX-A10", "-p", "tcp://[::1]:1", "--value", "100:u24le", "--value-from", "1", file},
       "'u24le' is no format; accepted: u16le"},
      {{"program", "-d", "TX-A10", "-p", "tcp://[::1]:1", "--value", "100:dec:20", "--value-from", "1", file},
       "'dec:20' is no format"},
      {{"program", "-d", "TX-A10", "-p", "tcp://[::1]:1", "--value", "100:mac", file},
       "--value needs one source"},
      {{"program", "-d", "TX-A10", "-p", "tcp://[::1]:1", "--value", "100:mac", "--value-from", "1:0", file},
       "--value-from '1:0'"},
      {{"erase", "-d", "TX-A10", "-p", "tcp://[::1]:1", "--blocks", "all", "--value", "100:mac"},
       "unknown option '--value' for erase"},
  };
  for (const Case& c : cases) {
    const CliResult r = Run(c.args);
    EXPECT_EQ(r.status, 64) << c.says;
    EXPECT_EQ(r.out, "") << c.says;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
  }
  EXPECT_EQ(Run({}).status, 64);
}

TEST_F(QuillCli, DevicesPrintsTheWholeCatalogue) {
  const CliResult r = Run({"devices"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  for (const char* expect :
       {"TX-A10\n  flash: H'00000000 - H'0001FFFF\n  blocks:\n    LB0  H'00000000  H'00003FFF\n",
        "    SB7  H'0001FE00  H'0001FFFF\n  clock ranges:\n    0  >= 1 MHz, < 2 MHz     boot rates: 2400\n",
        "    8  >= 16 MHz             boot rates: 2400 4800 9600\nTX-C30\n",
        "TX-C31\n  Mode 2\n    flash: H'00000000 - H'0000EF7F\n",
        "      LB6  H'0000C000  H'0000EF7F\n    clock ranges:\n",
        "  Mode 3\n    flash: H'00000000 - H'0000F77F\n",
        "      LB7  H'0000EF80  H'0000F77F\n",
        "user-mode rates: 2400 4800 9600 14400 19200 38400 57600 115200\n"}) {
    EXPECT_NE(r.out.find(expect), std::string::npos) << expect;
  }
  std::size_t blockLines = 0;
  for (std::size_t at = r.out.find("  H'"); at != std::string::npos; at = r.out.find("  H'", at + 1)) {
    ++blockLines;
  }
  EXPECT_EQ(blockLines, 2u * (16 + 12 + 15 + 16)) << "two addresses per block";
}

TEST_F(QuillCli, HelpShowsEveryCommandsSynopsis) {
  const CliResult r = Run({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* line :
       {"quill-cli devices\n",
        "quill-cli check   --device NAME [--mode M] [--offset A] [--lowest A] [--highest A] FILE\n",
        "quill-cli boot    --port PORT --device NAME [--mode M] --clock N [--baud BPS]\n",
        "quill-cli program --port PORT --device NAME [--mode M] [--baud BPS] [--no-erase]\n",
        "quill-cli erase   --port PORT --device NAME [--mode M] [--baud BPS] --blocks LIST [--quiet] [--trace]\n",
        "quill-cli check|boot|program ... [--binary A] FILE [[--binary A] FILE ...]\n",
        "quill-cli --help | --version\n"}) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line;
  }
  const CliResult v = Run({"--version"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out.rfind("quill-cli ", 0), 0u) << v.out;
}

}  // namespace
