// What a new user meets first: README.md shows quill-cli's usage text, which must stay the text
// `quill-cli --help` prints and come from every place a user asks for it; and a port that does
// not open is explained, not only numbered.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

struct Output {
  int status = -1;
  std::string text;
};

// Runs quill-cli with the arguments (no quoting needed for these) and collects standard output.
Output RunCli(const std::string& args, bool withErrors = false) {
  Output out;
  const std::string command =
      "'" QUILL_BINARY_DIR "/cli/quill-cli' " + args + (withErrors ? " 2>&1" : " 2>/dev/null");
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  std::array<char, 4096> buffer;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.text.append(buffer.data(), n);
  const int status = ::pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// The fenced block between the README's markers, without the fence lines.
std::string ReadmeUsage(std::string* problem) {
  std::ifstream in(QUILL_SOURCE_DIR "/README.md");
  std::stringstream all;
  all << in.rdbuf();
  const std::string text = all.str();
  const std::string begin = "<!-- quill-cli --help: begin -->\n";
  const std::string end = "<!-- quill-cli --help: end -->";
  const std::size_t from = text.find(begin);
  const std::size_t to = text.find(end);
  if (from == std::string::npos || to == std::string::npos || to < from) {
    *problem = "README.md lacks the markers around the usage text";
    return {};
  }
  std::string block = text.substr(from + begin.size(), to - from - begin.size());
  // ```text ... ```
  const std::size_t open = block.find('\n');
  const std::size_t close = block.rfind("```");
  if (block.rfind("```", 0) != 0 || open == std::string::npos || close == std::string::npos ||
      close <= open) {
    *problem = "the usage text in README.md is not one fenced block";
    return {};
  }
  return block.substr(open + 1, close - open - 1);
}

TEST(HelpText, ReadmeShowsExactlyWhatHelpPrints) {
  std::string problem;
  const std::string readme = ReadmeUsage(&problem);
  ASSERT_TRUE(problem.empty()) << problem;
  const Output help = RunCli("--help");
  ASSERT_EQ(help.status, 0);
  EXPECT_EQ(readme, help.text) << "update README.md's usage block from `quill-cli --help`";
}

TEST(HelpText, EveryCommandGivesTheSameHelp) {
  const Output help = RunCli("--help");
  ASSERT_EQ(help.status, 0);
  ASSERT_FALSE(help.text.empty());
  for (const char* args : {"-h", "devices --help", "check --help", "boot --port x --help",
                           "program -h", "erase --blocks all --help"}) {
    const Output out = RunCli(args);
    EXPECT_EQ(out.status, 0) << args;
    EXPECT_EQ(out.text, help.text) << args;
  }
  // After "--" the word is an operand, not a request for help.
  EXPECT_EQ(RunCli("check --device TX-A10 -- --help").status, 66);
}

TEST(PortOpenFailure, LeadsWithTheReasonAndWhatToDo) {
  const Output out =
      RunCli("erase --port /dev/quill-no-such-port --device TX-A10 --blocks SB0", true);
  EXPECT_EQ(out.status, 13);
  EXPECT_EQ(out.text.rfind("/dev/quill-no-such-port: no such device; 'quill-cli ports' lists the "
                           "serial ports\n", 0), 0u) << out.text;
  EXPECT_NE(out.text.find("(254)"), std::string::npos) << out.text;
}

}  // namespace
