// quill-cli's option parsing in process: short options, the last of a repeated option, --port
// lists, environment defaults, device names in any case, and --clock as a frequency at the edges
// of the ranges.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/wizard_state.h"
#include "cli/cli.h"
#include "cli/json_output.h"
#include "device/catalogue.h"
#include "link/port_list.h"

namespace quill::cli {
namespace {

const std::vector<OptionSpec> kSpecs = {{"--port", true},  {"--device", true}, {"--mode", true},
                                        {"--clock", true}, {"--baud", true},   {"--quiet", false},
                                        {"--trace", false}, {"--offset", true}};

TEST(Options, ShortFormsRepeatsListsAndTheEnvironment) {
  ::setenv("QUILL_DEVICE", "TX-C30", 1);
  ::setenv("QUILL_BAUD", "19200", 1);
  ::setenv("QUILL_PORT", "/dev/ttyUSB5", 1);
  ::setenv("QUILL_MODE", "", 1);  // empty: no default
  const Options o = ParseOptions(
      "program",
      {"-p", "/dev/ttyUSB0", "--port=/dev/ttyUSB1,/dev/ttyUSB2", "-b115200", "-b", "9600", "-q",
       "-v", "-c", "8", "--offset", "-F8", "-d", "tx-a10", "--device", "TX-C31", "-", "file.mot"},
      kSpecs);
  EXPECT_EQ(o.ports, (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"}));
  EXPECT_EQ(*o.Value("--baud"), "9600");      // the last one wins, over the environment too
  EXPECT_EQ(*o.Value("--device"), "TX-C31");
  EXPECT_EQ(*o.Value("--offset"), "-F8");     // a value, not an option
  EXPECT_EQ(*o.Value("--clock"), "8");
  EXPECT_TRUE(o.Has("--quiet") && o.Has("--trace"));
  EXPECT_FALSE(o.Has("--mode"));
  EXPECT_EQ(o.positional, (std::vector<std::string>{"-", "file.mot"}));

  const Options defaults = ParseOptions("erase", {}, kSpecs);
  EXPECT_EQ(*defaults.Value("--device"), "TX-C30");
  EXPECT_EQ(*defaults.Value("--baud"), "19200");
  EXPECT_EQ(defaults.ports, (std::vector<std::string>{"/dev/ttyUSB5"}));
  // A command without the option takes nothing from the environment.
  EXPECT_FALSE(ParseOptions("check", {}, {{"--device", true}}).Has("--baud"));
  for (const char* name : {"QUILL_DEVICE", "QUILL_BAUD", "QUILL_PORT", "QUILL_MODE"}) ::unsetenv(name);

  const struct {
    std::vector<std::string> args;
    std::string says;
  } errors[] = {{{"-x"}, "unknown option '-x' for t"},
                {{"-q3"}, "-q takes no value"},
                {{"-p"}, "-p needs a value"},
                {{"--trace=1"}, "--trace takes no value"}};
  for (const auto& e : errors) {
    try {
      ParseOptions("t", e.args, kSpecs);
      ADD_FAILURE() << e.says;
    } catch (const UsageError& error) {
      EXPECT_NE(std::string(error.what()).find(e.says), std::string::npos) << error.what();
    }
  }
}

TEST(Options, DeviceAndModeNamesInAnyCase) {
  for (const auto& [device, mode, name, index] :
       {std::tuple{"tx-c31", "mode 3", "TX-C31", 1}, std::tuple{"Tx-C31", "2", "TX-C31", 0},
        std::tuple{"TX-A10", "", "TX-A10", 0}}) {
    Options o;
    o.values["--device"] = device;
    if (*mode) o.values["--mode"] = mode;
    WizardState state;
    ApplyDeviceOptions(o, state);
    EXPECT_EQ(state.m_strMCUType, name);
    EXPECT_EQ(state.m_nMCUMode, index);
  }
}

// The ranges are ">= 1 MHz, < 2 MHz" ... ">= 14 MHz, < 16 MHz", ">= 16 MHz": a lower bound
// belongs to its range, an upper bound to the next.
TEST(Options, ClockFrequencyPicksTheRangeThatContainsIt) {
  WizardState state;
  state.m_strMCUType = "TX-A10";
  state.DeriveCatalogueRefs();
  const struct {
    const char* text;
    int index;  // -1: a usage error
  } cases[] = {
      {"0", 0},          {"8", 8},           {"9", -1},          {"16", -1},
      {"1MHz", 0},       {"0.999999MHz", -1}, {"999999Hz", -1},   {"1000000Hz", 0},
      {"1999999Hz", 0},  {"2MHz", 1},        {"9.8304MHz", 4},   {"12000kHz", 6},
      {"11.999999999MHz", 5}, {"12.000000001MHz", 6}, {"15.99MHz", 7}, {"16MHz", 8},
      {"16mhz", 8},      {"20MHz", 8},       {"4.9152 MHz", -1}, {"MHz", -1},
      {"3.6864GHz", -1}, {"", -1},           {"1.2.3MHz", -1},   {"0.5", -1},
  };
  for (const auto& c : cases) {
    if (c.index >= 0) {
      EXPECT_EQ(ParseClockOption(c.text, state), c.index) << c.text;
    } else {
      EXPECT_THROW(ParseClockOption(c.text, state), UsageError) << c.text;
    }
  }
}

TEST(JsonRecords, EveryResultHasAName) {
  EXPECT_EQ(ResultName(0), "success");
  EXPECT_EQ(ResultName(7), "flash_write_checksum_error");
  EXPECT_EQ(ResultName(14), "file_changed");
  EXPECT_EQ(ResultName(15), "error_15");
  EXPECT_EQ(ResultName(-1), "error_-1");
  // The catalogue in the document is the one the text shows.
  const nlohmann::json devices = DevicesJson();
  ASSERT_EQ(devices.at("devices").size(), static_cast<std::size_t>(GetDeviceCount()));
  EXPECT_EQ(devices["devices"][2]["modes"][1]["name"], "Mode 3");
  EXPECT_EQ(devices["devices"][0]["modes"][0]["clock_ranges"][8]["label"], ">= 16 MHz");
  EXPECT_EQ(devices["devices"][0]["modes"][0]["blocks"][0]["end"], 0x3FFF);
}

// Every access a port can have has its name in the ports document, with its reason beside it.
TEST(JsonRecords, EveryPortAccessHasAName) {
  const struct {
    PortAccess access;
    const char* reason;
    const char* name;
  } cases[] = {
      {PortAccess::Free, "", "free"},
      {PortAccess::Busy, "in use by 42 (minicom)", "busy"},
      {PortAccess::NoPermission, "", "no_permission"},
      {PortAccess::Missing, "No such file or directory", "unavailable"},
      {PortAccess::Unavailable, "Input/output error", "unavailable"},
      {PortAccess::Unknown, "", "unknown"},
  };
  PortListing listing;
  for (const auto& c : cases) {
    SerialPortInfo port;
    port.path = "/dev/ttyUSB" + std::to_string(listing.ports.size());
    port.access = c.access;
    port.reason = c.reason;
    if (listing.ports.empty()) port.latencyMs = 16;
    listing.ports.push_back(port);
  }
  const nlohmann::json document = PortsJson(listing);
  ASSERT_EQ(document.at("ports").size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(document["ports"][i]["access"], cases[i].name) << i;
    EXPECT_EQ(document["ports"][i]["reason"],
              *cases[i].reason ? nlohmann::json(cases[i].reason) : nlohmann::json(nullptr));
    EXPECT_EQ(document["ports"][i]["latency_ms"], i == 0 ? nlohmann::json(16) : nlohmann::json(nullptr));
  }
}

}  // namespace
}  // namespace quill::cli
