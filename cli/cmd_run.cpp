// quill-cli run: a job file saved with --save-job, on the ports given now, or (--watch) on every
// board plugged in while the station runs.
#include "cli/job_file.h"

namespace quill::cli {

#ifdef _WIN32
// The station waits for the system's device events, which this build does not receive.
int RunStation(const JobFile&, const Options&) {
  throw UsageError("--watch is not supported in this build (Linux only); run the job on the "
                   "ports given with --port instead");
}
#endif

int RunJob(const std::vector<std::string>& args) {
  const Options options = ParseOptions(
      "run", args,
      {{"--port", true}, {"--watch", false}, {"--json", false}, {"--log", true},
       {"--quiet", false}, {"--trace", false}, {"--records", true}, {"--station", true},
       {"--value", true}, {"--value-from", true}, {"--value-list", true}, {"--value-name", true},
       {"--automatic", false}, {"--lines", true}, {"--line-delay", true}});
  if (options.positional.size() != 1) {
    throw UsageError(options.positional.empty()
                         ? "missing JOB: the job file to run (written by boot, program or erase with --save-job)"
                         : "unexpected argument '" + options.positional[1] + "': run takes one JOB");
  }
  JobFile job;
  if (const int status = LoadJobFile(options.positional.front(), job)) return status;
  // Every file as the job saw it, or nothing is sent anywhere.
  if (const int status = VerifyJobFiles(job)) return status;
  Options run = job.options;
  run.ports = options.ports;
  // A source given now replaces the job's, whichever kind it is.
  if (options.Has("--value-from") || options.Has("--value-list")) {
    run.values.erase("--value-from");
    run.values.erase("--value-list");
  }
  for (const char* name : {"--port", "--log", "--records", "--station", "--value", "--value-from",
                           "--value-list", "--value-name", "--lines", "--line-delay"}) {
    if (const std::string* value = options.Value(name)) run.values[name] = *value;
  }
  for (const char* name : {"--json", "--quiet", "--trace", "--watch", "--automatic"}) {
    if (options.Has(name)) run.flags.insert(name);
  }
  if (options.Has("--watch")) return RunStation(job, run);
  return RunLinkCommand(job.op, run, &job.origin);
}

}  // namespace quill::cli
