// Helpers for the program-file tests: a temporary folder, S-record lines built byte by byte,
// srec_cat runs, and a check reporter that records what it was asked to show.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "progfile/program_image.h"
#include "sim/srec_line.h"

namespace quill::testing {

class TempDir {
 public:
  // A new folder of a random name (create_directory fails on a name already taken, so two
  // tests never share one); the C library's mkdtemp is not on every platform.
  TempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      char name[32];
      std::snprintf(name, sizeof name, "quill-test-%08x", static_cast<unsigned>(random()));
      const std::filesystem::path path = std::filesystem::temp_directory_path() / name;
      std::error_code ec;
      if (std::filesystem::create_directory(path, ec)) path_ = path;
    }
    if (path_.empty()) ADD_FAILURE() << "no temporary folder";
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

// One S-record line (no terminator) of type 1, 2 or 3 with a correct checksum, or one that is
// off by checksumDelta.
inline std::string Srec(int type, uint32_t address, const std::vector<uint8_t>& data,
                        int checksumDelta = 0) {
  return sim::MakeSRecordLine(type, address, data, checksumDelta);
}

inline std::vector<uint8_t> Bytes(int count, uint8_t first = 0) {
  std::vector<uint8_t> data(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) data[static_cast<std::size_t>(i)] = static_cast<uint8_t>(first + i);
  return data;
}

// Runs srec_cat with the given arguments; fails the test when it is missing or fails.
inline void RunSrecCat(const std::string& args) {
  const std::string command = "srec_cat " + args + " 2>&1";
  const int status = std::system(command.c_str());
  ASSERT_EQ(status, 0) << "srec_cat failed (scripts/install-deps.sh installs the srecord "
                          "package): " << command;
}

// What the check showed, in order; answers questions with answer.
class RecordingReporter : public CheckReporter {
 public:
  explicit RecordingReporter(bool answer = true) : answer_(answer) {}

  void ShowMessage(uint32_t id, const std::string& text) override {
    events.push_back("message " + std::to_string(id));
    texts.push_back(text);
  }
  bool AskYesNo(uint32_t id, const std::string& text) override {
    events.push_back("question " + std::to_string(id));
    texts.push_back(text);
    return answer_;
  }
  void ReportFileError(const std::string& text) override {
    events.push_back("file error");
    texts.push_back(text);
  }
  void BeginWaitCursor() override { events.push_back("wait on"); }
  void EndWaitCursor() override { events.push_back("wait off"); }

  std::vector<std::string> events;
  std::vector<std::string> texts;

 private:
  bool answer_;
};

}  // namespace quill::testing
