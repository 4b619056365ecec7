// quill-cli: the command-line front end. Dispatches on the command word.
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace quill::cli {

const char* UsageText() {
  return R"(Usage:
  quill-cli devices
  quill-cli check   --device NAME [--mode M] [--offset A] [--lowest A] [--highest A] FILE
  quill-cli boot    --port PORT --device NAME [--mode M] --clock N [--baud BPS]
                    [--offset A] [--lowest A] [--highest A] [--quiet] [--trace] FILE
  quill-cli program --port PORT --device NAME [--mode M] [--baud BPS] [--no-erase]
                    [--blocks LIST] [--offset A] [--lowest A] [--highest A] [--quiet] [--trace] FILE
  quill-cli check|boot|program ... [--binary A] FILE [[--binary A] FILE ...]
  quill-cli erase   --port PORT --device NAME [--mode M] [--baud BPS] --blocks LIST [--quiet] [--trace]
  quill-cli kernels [--json]
  quill-cli kernels import [--id N] [--replace] PATH...
  quill-cli ports [--json]
  quill-cli devices|check ... [--json]
  quill-cli boot|program|erase ... --port SEL [--port SEL ...] [--json] [--log FILE]
  quill-cli boot|program|erase ... --save-job JOB
  quill-cli run JOB [--port SEL ...] [--watch] [--json] [--log FILE] [--quiet] [--trace]
  quill-cli boot|program|erase|run ... [--automatic] [--lines MAP] [--line-delay MS]
  quill-cli boot|program|erase|run ... [--records URL] [--station NAME]
  quill-cli boot|program|run ... --value ADDRESS:FORMAT (--value-from START[:STEP] |
                    --value-list FILE) [--value-name NAME]
  quill-cli records [--records URL] [--job JOB] [--value VALUE] [--port PORT] [--since TIME]
                    [--json | --csv]
  quill-cli records flush [--records URL]
  quill-cli --help | --version

Commands:
  devices   print the catalogue: devices, modes, flash ranges, block maps, clock ranges
  ports     list the serial ports: path, /dev/serial/by-id name, USB vendor:product, maker,
            product and serial number; simulated boards with what they simulate; whether
            each is free, busy or needs a permission
  check     check program files as the wizard's file page does; print the blocks they
            touch and the numbers of data bytes inside and outside the window
  boot      boot-mode programming: download the kernel, erase all flash, program the files
  program   user-mode programming of the blocks the files touch (erased first unless --no-erase)
  erase     user-mode erase of the blocks in LIST
  run       run a job file saved with --save-job on the ports given; with --watch, a
            programming station: every board plugged in is programmed once
  kernels   the flash kernel of every clock range: id, device, mode, clock range, size, the
            first 12 digits of its SHA-256, and where it comes from (a file of the kernel
            store, the built-in stand-in for simulated boards only, or missing)
  kernels import
            take the real kernels into your kernel store: image files (186.bin,
            fpcode_186.bin), folders of them, or a Windows program or DLL that carries them
  records   the board records of a record store, newest first: time, station, port,
            result, value and job; --json: each whole record, one a line; --csv
  records flush
            send the records the spool keeps for the store (for every store when none
            is given); 0 when none waits afterwards

Arguments:
  -d, --device NAME  a catalogue device name ("TX-A10", "TX-C30", "TX-C31"), in any case
  -m, --mode M       the operating mode by name ("Mode 2", "Mode 3") or number ("2", "3"); only
                     for devices with more than one mode; default the device's first mode
  -c, --clock N      the clock-range index 0..8 of the mode's list, or the target's clock
                     frequency with its unit (9.8304MHz, 16MHz, 12000kHz): the range holding it
  -b, --baud BPS     boot: a rate the clock range permits, default the highest of them;
                     program and erase: one of the eight user-mode rates, default 9600
  --offset A         address offset added to every record, default 0
  --lowest A         lowest address of the window, default the mode's lowest flash address
  --highest A        highest address of the window, default the mode's highest flash address
                     Addresses are hexadecimal by default; H', D' and 0x prefixes are accepted.
  --blocks LIST      comma-separated block names of the mode's map ("LB0,SB1"), or all;
                     program: default the blocks the file touches inside the window
  --no-erase         program without erasing the blocks first
  -p, --port PORT    the serial device to open: a path (/dev/ttyUSB0, or the path a simulated
                     board prints); usb:VID:PID[:SERIAL] (hexadecimal ids); serial:SERIAL (the
                     adapter's serial number); auto (the one USB serial adapter present); or a
                     port on another computer's port server (ser2net): rfc2217://HOST:PORT
                     (RFC 2217: rate and line set from here) or tcp://HOST:PORT (raw TCP: the
                     server's rate must be the job's); HOST a name, IPv4 or [IPv6] address.
                     Given several times, or as a comma list: the operation runs on every
                     port at once, each board's lines after its port, then a summary table
  --json             results as JSON on standard output: one object per board result, one
                     document for devices, ports, kernels and check; the texts for people then go to
                     standard error
  --log FILE         append every board result to FILE as one JSON line (never truncated)
  --save-job JOB     boot, program, erase: check the files and write the whole job (device,
                     mode, clock, rate, files with their SHA-256, window, blocks) to JOB as
                     JSON; nothing is sent and no port is opened
  --automatic        boot, program, erase, run: Automatic Mode: the port's control lines set the
                     adapter board's switches (VPP off, Mode, VPP on before anything is sent;
                     VPP off, Mode released after every outcome); a port that cannot drive
                     them (a pseudo-terminal) fails with 13 before anything is sent
  --lines MAP        which line drives which switch, default vpp=dtr,mode=rts: DTR asserted is
                     VPP on, RTS asserted Mode "Boot"; mode=!rts inverts the Mode line; VPP
                     cannot be inverted (a released line must mean VPP off)
  --line-delay MS    the settling time after each change, 10 to 5000, default 100
  --records URL      boot, program, erase, run: every board's record to a record store too:
                     sqlite:PATH (a file) or a PostgreSQL URI (postgresql://USER@HOST/DB),
                     table quill_records, made when missing. A record the store has not
                     confirmed waits in the spool ($XDG_DATA_HOME/quill/spool.sqlite) and is
                     sent later; a store that is away never stops a run
  --station NAME     the station's name in the records, default the host name
  --value A:FORMAT   boot, program, run: each board's own value (a serial number) written at
                     address A: FORMAT u16le, u16be, u32le, u32be, u64le, u64be, dec:N (N
                     zero-padded ASCII digits) or mac (six bytes, 00:1A:2B:3C:4D:5E). Taken
                     once the board's port is open, before its first byte, from a counter or
                     list kept in the record store (--records, else
                     $XDG_DATA_HOME/quill/values.sqlite): no two boards get the same value
  --value-from START[:STEP]
                     the values count up from START by STEP (default 1); decimal or 0x hex
  --value-list FILE  the values are FILE's lines, each used once, in order
  --value-name NAME  the counter's or list's name in the store; default the job file's name,
                     or ADDRESS:FORMAT
  --job JOB          records: only the boards of the job file JOB (or its SHA-256); so too
                     --value VALUE (the board that got it), --port PORT (as the run named
                     it) and --since TIME (ISO 8601; UTC when no zone is given)
  --csv              records: comma-separated values, a header line first
  --watch            run: wait for boards; each port that matches the --port selectors (none:
                     every USB serial adapter and every simulated board) is programmed when
                     it appears, again only after it was unplugged (a network port: while
                     its server takes connections); Ctrl-C ends the station
  FILE               a program file: S-record (S1, S2, S3) or Intel HEX, recognised by its
                     content. Several files are checked together and programmed in order as
                     one image in one run; two that write the same address are refused
                     before anything is sent
  --binary A         the FILE after it is raw binary, its first byte at address A
  -q, --quiet        no progress display
  -v, --trace        every byte on the line, with a time stamp and direction, to standard error
  --id N             kernels import: the kernel id of a single image whose name carries none
  --replace          kernels import: a different image may replace an installed one
  --help             this text (also after a command)
  --version          the program's version

An option given twice: the last one wins. QUILL_PORT, QUILL_DEVICE, QUILL_MODE, QUILL_CLOCK,
QUILL_BAUD and QUILL_RECORDS give defaults for the options of the same names.

Before boot and program send anything, the files are checked as the check command checks
them. On a terminal a progress line is drawn on standard error, with the time left once the rate is known;
elsewhere (and with several boards) a line at each phase and every 10 %. Ctrl-C aborts the
operation on every board as the wizard's Abort button does. Errors are printed with the texts
the wizard's result page shows; a port that does not open is explained first. A boot sends
the installed kernel for the clock range (the kernel store: $XDG_DATA_HOME/quill/fpcode,
default ~/.local/share/quill/fpcode, then <prefix>/share/quill/fpcode); the built-in stand-in
goes only to a simulated board.

Examples:
  quill-cli ports
  quill-cli check --device TX-C30 firmware.mot
  quill-cli check --device TX-A10 boot.hex app.mot --binary 1F000 calibration.bin
  quill-cli boot --port /dev/ttyUSB0 --device TX-A10 --clock 16MHz firmware.mot
  quill-cli program -p serial:A50285BI -d TX-C31 -m 3 -b 115200 firmware.mot
  quill-cli program -p /dev/ttyUSB0,/dev/ttyUSB1 -d TX-A10 --json --log station.jsonl firmware.mot
  quill-cli program -p rfc2217://rack1.lab:3001 -p /dev/ttyUSB0 -d TX-A10 firmware.mot
  quill-cli erase --port /dev/ttyUSB0 --device TX-A10 --blocks SB0,SB1
  quill-cli program -d TX-A10 --blocks LB0 firmware.mot --save-job line3.job
  quill-cli run line3.job --watch --port usb:0403:6001 --log line3.jsonl
  quill-cli run line3.job --watch --records postgresql://quill@db.lab/factory --station line3
  quill-cli program -p /dev/ttyUSB0 -d TX-A10 --value 3FF0:u32le --value-from 1000 firmware.mot
  quill-cli records --records sqlite:line3.sqlite --job line3.job --csv
  quill-cli kernels import ~/taveo-kit/fpcode/

Exit status:
  0       success (every board's, when several run)
  1       aborted (Ctrl-C)
  2       boot: the target did not answer the synchronisation
  3, 4    boot: the erase-all report did not come, or reported a failure
  5, 6    boot: a wrong or missing echo during the kernel download
  7       the kernel refused a chunk's checksum
  9, 10   a block erase failed, or its result did not come
  12      the kernel did not answer while programming
  13      internal error: the port could not be set up, a write failed, an unexpected reply;
          a network port that does not open or whose connection was lost
  14      the program file changed after it was checked
  64      usage error
  65      a program file is invalid or would program outside the flash, or two overlap; a
          kernel import was refused; a job's file changed since the job was saved; the
          value's place lies outside the window or its blocks, or under a file's data
  66      a program file (or a kernel to import) cannot be opened
  69      a board's value cannot be taken (the store cannot be reached, the counter is
          past its format's largest value, the list is used up): nothing was sent to it;
          records: the record store cannot be reached
  73      the kernel store, the --log file or the --save-job file cannot be written
  78      boot refused before anything was sent: no usable kernel installed for the clock
          range, and the port is not a simulated board's
  With several boards: the status of the first failed port in the order given; for a
  station (--watch): the status of the board that failed first.
)";
}

namespace {

struct Command {
  const char* name;
  int (*run)(const std::vector<std::string>& args);
};

constexpr Command kCommands[] = {
    {"devices", RunDevices},
    {"check", RunCheck},
    {"boot", RunBoot},
    {"program", RunProgram},
    {"erase", RunErase},
    {"kernels", RunKernels},
    {"ports", RunPorts},
    {"run", RunJob},
    {"records", RunRecords},
};

int Run(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << UsageText();
    return kExitUsage;
  }
  const std::string word = argv[1];
  if (word == "--help" || word == "-h") {
    std::cout << UsageText();
    return kExitSuccess;
  }
  if (word == "--version") {
    std::cout << "quill-cli " << QUILL_VERSION << '\n';
    return kExitSuccess;
  }
  const std::vector<std::string> args(argv + 2, argv + argc);
  // "quill-cli boot --help" is where a new user looks first.
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == "--help" || arg == "-h") {
      std::cout << UsageText();
      return kExitSuccess;
    }
  }
  for (const Command& command : kCommands) {
    if (word == command.name) return command.run(args);
  }
  std::string accepted;
  for (const Command& command : kCommands) accepted += std::string(accepted.empty() ? "" : ", ") + command.name;
  throw UsageError("unknown command '" + word + "'; accepted: " + accepted + ", --help, --version");
}

}  // namespace
}  // namespace quill::cli

int main(int argc, char** argv) {
  try {
    return quill::cli::Run(argc, argv);
  } catch (const quill::cli::UsageError& e) {
    std::cerr << "quill-cli: " << e.what() << "\nTry 'quill-cli --help'.\n";
    return quill::cli::kExitUsage;
  }
}
