// Job files: one boot, program or erase with everything it needs (device, mode, clock, rate,
// files with their SHA-256, window, blocks), written once by an engineer with --save-job and run
// by an operator with `run`, so every board of a line gets exactly the reviewed job.
#pragma once

#include <string>
#include <vector>

#include "cli/link_run.h"

namespace quill::cli {

constexpr int kJobVersion = 1;

// Writes job to path as JSON, atomically: a temporary file in the same folder, flushed to the
// disk, then renamed over path, so a reader never sees half a job. File paths are stored relative
// to the job file's folder. False with the reason in *error.
bool SaveJobFile(const std::string& path, const LinkJob& job, std::string* error);

// A job file as read back.
struct JobFile {
  LinkOp op = LinkOp::Program;
  JobOrigin origin;
  // The job's settings as the command line would give them: --device, --mode, --clock, --baud,
  // --offset, --lowest, --highest, --blocks, --no-erase, and the files (paths resolved against
  // the job file's folder).
  Options options;
  struct File {
    std::string path;    // resolved: what is opened
    std::string sha256;  // as the job recorded it
  };
  std::vector<File> files;
};

// Reads the job at path. 0, or 66 when it cannot be read (the reason on standard error); throws
// UsageError when it is no job of this version or a field is missing or of the wrong kind.
int LoadJobFile(const std::string& path, JobFile& job);

// Reads every file of the job and compares its SHA-256 with the job's, before any port is
// opened: 0, 65 for a file that changed, 66 for one that cannot be read (each named on standard
// error).
int VerifyJobFiles(const JobFile& job);

// The programming station: `run JOB --watch`. Linux only; elsewhere a usage error.
int RunStation(const JobFile& job, const Options& options);

}  // namespace quill::cli
