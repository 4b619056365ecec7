#!/usr/bin/env python3
"""QUILL benchmarks: one run, one table of ratios.

1. Program-file check: `quill-cli check` against `srec_info` (Debian's srecord) on the same
   generated S-record files (S3 records of 32 data bytes), our time / its time, and the peak
   memory of both for a small and a large file; then the same data as Intel HEX (32-byte
   records): its check against the S3 check and against `srec_info`, and its peak memory.
2. Line efficiency: boot runs of every device and mode and user-mode programming runs of a 32 KB
   file, `quill-cli` against `quill-sim --pace`, wall time / the protocol's lower bound (every
   byte's line time, 10 bits a byte, both directions, one after the other since every exchange
   waits for its reply). A floor row runs the same chunks from the plainest possible client, so
   what the board and the pseudo-terminal cost can be told from what the host adds.
   A station row: 20 boards through `quill-cli run JOB --watch`, 4 plugged in at a time (each
   replaced by the next as soon as its record is logged), boards per minute against the ideal of
   4 lanes each taking the one-board time; the same station in Automatic Mode, each lane a port
   of 127.0.0.1 where one `quill-sim --listen --lines` board after another serves itself.
2d. Boards on another computer: boot TX-A10 and program 32 KB at 9600 bps through a local
   ser2net as rfc2217:// ports, each against the same run on the local pseudo-terminal; eight
   boards through the network at once against one.
2e. A USB adapter's latency timer: boot TX-A10 and program 32 KB at 9600 bps through
   `quill-sim --adapter-latency` at 16 ms (the FTDI default) and at 1 ms (what the low-latency
   request and the udev rule set), each against the protocol's bound.
2f. The record store: the station row again with every record sent to a local PostgreSQL
   (--records) against the same station without a store (boards per minute); per-board values
   taken by 8 processes at once from one PostgreSQL counter, and by one process from SQLite:
   values per second, every value distinct.
2g. From Python: the module's boot of TX-A10 (quill.Job and quill.run, timed inside Debian's
   python3) against quill-cli's boot on the same paced board.
3. The wizard during an unpaced boot run (quill-bench-wizard): notifications handled against
   those posted, and the longest gap between two events of the user-interface thread.

Timed figures are the best of several runs taken in turn, so that a busy machine disturbs both
sides of a ratio alike.
"""

import argparse
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

# Goals the table is held against.
CHECK_GOAL = 1.0
HEX_GOAL = 1.2  # the Intel HEX check against the check of the same data as S3
LINE_GOALS = {9600: 1.05, 115200: 1.25}
PARALLEL_GOAL = 1.15  # four boards at once / one board alone
STATION_GOAL = 0.95  # boards per minute through a station / 4 lanes of the one-board time
STATION_BOARDS, STATION_LANES = 20, 4
NETWORK_GOAL = 1.05  # a run through a local ser2net / the same run on the local pseudo-terminal
NETWORK_PARALLEL_GOAL = 1.10  # eight network boards at once / one
GAP_GOAL_MS = 50.0
ADAPTER_GOAL = 1.6  # through an adapter whose timer is 1 ms / the protocol's bound
RECORDS_GOAL = 0.99  # a station sending records to PostgreSQL / the same station without a store
VALUE_PROCESSES, VALUES_EACH = 8, 1000
MODULE_GOAL = 1.01  # a boot from Python through the module / the same boot by quill-cli

# Kernel image sizes by device and mode (the catalogue's), for the lower bound of a boot run.
BOOT_TARGETS = [  # (label, device, mode or None, kernel id at CLOCK, kernel size)
    ("TX-A10", "TX-A10", None, 155, 1725),
    ("TX-C30", "TX-C30", None, 198, 896),
    ("TX-C31 Mode 2", "TX-C31", "2", 207, 1040),
    ("TX-C31 Mode 3", "TX-C31", "3", 216, 1046),
]
CLOCK = 8  # ">= 16 MHz": boot rates up to 9600


def s3_line(address, data):
    body = bytes([len(data) + 5]) + address.to_bytes(4, "big") + data
    return "S3" + body.hex().upper() + "%02X" % (~sum(body) & 0xFF)


def pattern(address, n):
    return bytes(((address + i) * 7) & 0xFF for i in range(n))


def write_program(path, size, record=32, base=0):
    """A file of size data bytes from base, in S3 records of record bytes."""
    with open(path, "w") as out:
        out.write("S00600004844521B\n")
        for a in range(base, base + size, record):
            out.write(s3_line(a, pattern(a, min(record, base + size - a))) + "\n")
        out.write("S70500000000FA\n")


def hex_line(kind, offset, data):
    body = bytes([len(data), offset >> 8, offset & 0xFF, kind]) + data
    return ":" + body.hex().upper() + "%02X" % (-sum(body) & 0xFF)


def hex_cycle(flash):
    """The flash's data as Intel HEX: an extended linear address record at every 64 KB, data
    records of 32 bytes."""
    out = []
    for a in range(0, flash, 32):
        if a % 0x10000 == 0:
            out.append(hex_line(4, 0, (a >> 16).to_bytes(2, "big")))
        out.append(hex_line(0, a & 0xFFFF, pattern(a, 32)))
    return "".join(line + "\n" for line in out)


def write_large(path, megabytes, flash=0x20000, intel=False):
    """At least megabytes MB of S3 (or Intel HEX) records of 32 data bytes. The addresses run
    through the flash of TX-A10 again and again, so every record lands inside it and touches a
    block, and a reader that keeps the data in memory needs no more than the flash's size for
    it. The same megabytes give the same number of records in either format."""
    if intel:
        cycle = hex_cycle(flash)
        head, tail = "", hex_line(1, 0, b"") + "\n"
    else:
        cycle = "".join(s3_line(a, pattern(a, 32)) + "\n" for a in range(0, flash, 32))
        head, tail = "S00600004844521B\n", "S70500000000FA\n"
    target = megabytes * 1024 * 1024
    with open(path, "w") as out:
        out.write(head)
        written = 0
        while written < target:
            out.write(cycle)
            written += len(cycle)
        out.write(tail)
    return os.path.getsize(path)


def timed_pair(ours, theirs, runs):
    """The best times of two commands, run in turn so a burst of load on the machine hits both."""
    t_ours, t_theirs = None, None
    for _ in range(runs):
        a = best_time(ours, 1)
        b = best_time(theirs, 1)
        t_ours = a if t_ours is None else min(t_ours, a)
        t_theirs = b if t_theirs is None else min(t_theirs, b)
    return t_ours, t_theirs


def peak_kb(floor, argv):
    """Peak resident memory (KB) of one run of argv, measured by quill-bench-line peak (a
    parent as small as that keeps its own memory out of the child's figure)."""
    result = subprocess.run([floor, "peak", *argv], stdout=subprocess.PIPE, text=True)
    if result.returncode != 0:
        raise RuntimeError("%s failed" % " ".join(argv))
    return int(result.stdout)


def best_time(argv, runs):
    best = None
    for _ in range(runs):
        start = time.perf_counter()
        result = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        took = time.perf_counter() - start
        if result.returncode != 0:
            raise RuntimeError("%s failed with status %d" % (" ".join(argv), result.returncode))
        best = took if best is None else min(best, took)
    return best


class Sim:
    """A quill-sim process; its port is the first line it prints."""

    def __init__(self, sim, *args):
        self.proc = subprocess.Popen([sim, "--no-announce", *args], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self.port = self.proc.stdout.readline().strip()
        if not self.port:
            raise RuntimeError("quill-sim did not start: " + self.proc.stderr.read())

    def close(self):
        self.proc.send_signal(signal.SIGTERM)
        _, err = self.proc.communicate(timeout=10)
        if self.proc.returncode != 0:
            raise RuntimeError("quill-sim saw violations:\n" + err)


def chunk_bytes(size, record=32):
    """Line bytes of programming size data bytes in records of record bytes: per chunk the host
    sends 0x57 0x00, 8 bytes of address and count, 0x11, the data, 0x11 and the checksum; the
    kernel answers 0x06, 0x11, 0x11 and 0x06."""
    total = 0
    for a in range(0, size, record):
        total += 17 + min(record, size - a)
    return total


def erase_bytes(blocks):
    """0x57, the count, 4 bytes a block; the result; eight 0x00; the final byte."""
    return 2 + 4 * blocks + 1 + 8 + 1 if blocks else 0


def boot_bytes(kernel, size):
    """Ten 0x00 and the reply; the stream (start byte, length, image), each byte echoed; the
    erase-all report; then the chunks."""
    return 10 + 1 + 2 * (kernel + 3) + 1 + chunk_bytes(size)


def line_seconds(nbytes, bps):
    return nbytes * 10 / bps


def run_cli(cli, args):
    start = time.perf_counter()
    result = subprocess.run([cli, *args, "--quiet"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    took = time.perf_counter() - start
    if result.returncode != 0:
        raise RuntimeError("quill-cli %s failed (%d): %s" % (args[0], result.returncode,
                                                            result.stderr))
    return took


def run_floor(floor, args):
    result = subprocess.run([floor, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    if result.returncode != 0:
        raise RuntimeError("quill-bench-line %s failed: %s" % (args[0], result.stderr))
    return float(result.stdout)


def logged_ports(log):
    """The ports of the records in a --log file so far."""
    try:
        with open(log) as f:
            return [json.loads(line)["port"] for line in f if line.endswith("\n")]
    except FileNotFoundError:
        return []


def station_row(cli, sim, work, size, records=None, rate_only=False, automatic=False):
    """20 paced boards through a station, 4 plugged in at a time; boards per minute over the ideal
    (4 lanes of the one-board time, from plugging in to the record in the log). With records (a
    store's URL) every record goes to that store as well; rate_only: the boards per minute alone.
    automatic: a job in Automatic Mode, each lane a port of 127.0.0.1 where one board after the
    other serves itself (quill-sim --listen --lines), no one at the switches."""
    runtime = tempfile.mkdtemp(prefix="quill-station-", dir=work)
    env = dict(os.environ, XDG_RUNTIME_DIR=runtime, XDG_DATA_HOME=os.path.join(runtime, "data"))
    program = os.path.join(work, "station.srec")
    write_program(program, size)
    job = os.path.join(work, "station.job")
    auto = ["--automatic"] if automatic else []
    subprocess.run([cli, "program", "--device", "TX-A10", program, *auto, "--save-job", job],
                   check=True)
    log = os.path.join(work, "station.jsonl")
    if os.path.exists(log):
        os.unlink(log)
    extra = ["--records", records] if records else []
    lane_ports = []
    for _ in range(STATION_LANES if automatic else 0):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            lane_ports.append(probe.getsockname()[1])
    for port in lane_ports:
        extra += ["--port", "rfc2217://127.0.0.1:%d" % port]
    station = subprocess.Popen([cli, "run", job, "--watch", "--log", log, "--quiet", *extra], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    counter = [0]
    free = list(lane_ports)
    plugs = {}  # port -> boards plugged into it so far

    def plug():
        port, board = plug_board()
        plugs[port] = plugs.get(port, 0) + 1
        return port, board

    def plug_board():
        counter[0] += 1
        if automatic:
            # The lane's port; its last board has ended, so the port is free again.
            port = free.pop(0)
            board = subprocess.Popen([sim, "--device", "TX-A10", "--pace", "--listen",
                                      "127.0.0.1:%d" % port, "--lines", "vpp=dtr,mode=rts"],
                                     env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            return "rfc2217://127.0.0.1:%d" % port, board
        name = "bench-%d" % counter[0]
        board = subprocess.Popen([sim, "--device", "TX-A10", "--state", "user", "--pace",
                                  "--name", name], env=env, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        return os.path.join(runtime, "quill", "ports", name), board

    pulled = []

    def unplug(board, port):
        # As an operator pulls a board: the next one goes in at once, the old one ends meanwhile.
        board.send_signal(signal.SIGTERM)
        pulled.append(board)
        if automatic:
            board.wait(timeout=10)  # a board on the network gives its port up as it ends
            free.append(int(port.rsplit(":", 1)[1]))

    def wait_for(ports):
        while not set(ports) <= set(logged_ports(log)):
            if station.poll() is not None:
                raise RuntimeError("the station ended: " + station.stderr.read())
            time.sleep(0.005)

    lanes = []
    try:
        start = time.perf_counter()
        port, board = plug()
        wait_for([port])
        one = time.perf_counter() - start
        unplug(board, port)
        board.wait(timeout=10)
        start = time.perf_counter()
        lanes = [plug() for _ in range(STATION_LANES)]
        plugged = STATION_LANES
        finished = 0
        while finished < STATION_BOARDS:
            logged = logged_ports(log)
            for i, lane in enumerate(lanes):
                # A port on the network comes back with each board: its records are counted.
                if lane is None or logged.count(lane[0]) < plugs[lane[0]]:
                    continue
                unplug(lane[1], lane[0])
                finished += 1
                lanes[i] = None
                if plugged < STATION_BOARDS:
                    lanes[i] = plug()
                    plugged += 1
            if station.poll() is not None:
                raise RuntimeError("the station ended: " + station.stderr.read())
            time.sleep(0.005)
        took = time.perf_counter() - start
    finally:
        station.send_signal(signal.SIGINT)
        station.wait(timeout=30)
        for lane in lanes:  # the boards still in when a run failed
            if lane is not None:
                unplug(lane[1], lane[0])
        for board in pulled:
            board.wait(timeout=10)
    failed = [r for r in (json.loads(l) for l in open(log)) if r["exit_status"] != 0]
    if failed or station.returncode != 0:
        raise RuntimeError("station boards failed: %s" % failed[:1])
    per_minute = STATION_BOARDS * 60 / took
    ideal = STATION_LANES * 60 / one
    if rate_only:
        return per_minute
    if automatic:
        measure = ("station in Automatic Mode, --listen boards: %.1f boards/min / ideal %.1f "
                   "(one board %.2f s)" % (per_minute, ideal, one))
    else:
        measure = ("station: %d boards, %d at a time, %d KB at 9600 bps: %.1f boards/min / ideal "
                   "%.1f (one board %.2f s)" % (STATION_BOARDS, STATION_LANES, size // 1024,
                                                per_minute, ideal, one))
    return (measure, "%.3f" % (per_minute / ideal),
            ">= %.2f" % STATION_GOAL, per_minute / ideal >= STATION_GOAL)


class PgCluster:
    """A PostgreSQL of Debian's packages made by initdb in a temporary folder, on 127.0.0.1 and a
    free port (as the user nobody when run as root, which PostgreSQL refuses)."""

    def __init__(self, work):
        bins = sorted(d for d in (os.path.join("/usr/lib/postgresql", v, "bin")
                                  for v in os.listdir("/usr/lib/postgresql"))
                      if os.path.exists(os.path.join(d, "initdb"))) \
            if os.path.isdir("/usr/lib/postgresql") else []
        if not bins:
            raise RuntimeError("PostgreSQL is not installed (Debian package postgresql-15)")
        self.bin = bins[-1]
        self.dir = tempfile.mkdtemp(prefix="quill-pg-", dir=work)
        self.as_user = []
        if os.geteuid() == 0:
            os.chmod(work, 0o755)
            os.chown(self.dir, 65534, 65534)
            self.as_user = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
        data = os.path.join(self.dir, "data")
        subprocess.run([*self.as_user, os.path.join(self.bin, "initdb"), "-D", data, "-U", "quill",
                        "-A", "trust", "--no-sync"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([*self.as_user, os.path.join(self.bin, "pg_ctl"), "-D", data, "-l",
                        os.path.join(self.dir, "log"), "-w", "-o",
                        "-c listen_addresses=127.0.0.1 -p %d -k %s" % (self.port, self.dir),
                        "start"], check=True, stdout=subprocess.DEVNULL)
        self.url = "postgresql://quill@127.0.0.1:%d/postgres" % self.port

    def close(self):
        subprocess.run([*self.as_user, os.path.join(self.bin, "pg_ctl"), "-D",
                        os.path.join(self.dir, "data"), "-m", "fast", "-w", "stop"],
                       stdout=subprocess.DEVNULL)


def record_rows(cli, sim, values, work):
    """The station with its records in PostgreSQL against the station without; values per second
    from one PostgreSQL counter (8 processes at once) and from SQLite (one process)."""
    rows = []
    pg = PgCluster(work)
    try:
        print("records: the station without a store and with PostgreSQL...", file=sys.stderr)
        # In turn, best of two each, so a busy machine disturbs both sides alike.
        without = withstore = 0.0
        for _ in range(2):
            without = max(without, station_row(cli, sim, work, 4096, rate_only=True))
            withstore = max(withstore, station_row(cli, sim, work, 4096, records=pg.url,
                                                   rate_only=True))
        ratio = withstore / without
        rows.append(("station with --records on PostgreSQL: %.1f boards/min / without %.1f" %
                     (withstore, without), "%.3f" % ratio, ">= %.2f" % RECORDS_GOAL,
                     ratio >= RECORDS_GOAL))
        for label, url, processes in (("PostgreSQL", pg.url, VALUE_PROCESSES),
                                      ("SQLite", "sqlite:" + os.path.join(work, "values.sqlite"), 1)):
            print("values: %d x %d from %s..." % (processes, VALUES_EACH, label), file=sys.stderr)
            start = time.perf_counter()
            takers = [subprocess.Popen([values, url, "bench", str(VALUES_EACH)],
                                       stdout=subprocess.PIPE, text=True)
                      for _ in range(processes)]
            taken = []
            for taker in takers:
                out, _ = taker.communicate(timeout=600)
                if taker.returncode != 0:
                    raise RuntimeError("quill-bench-values failed on %s" % label)
                taken += out.split()
            took = time.perf_counter() - start
            distinct = len(set(taken)) == len(taken) == processes * VALUES_EACH
            rows.append(("values: %d processes x %d from one %s counter: %.0f values/s" %
                         (processes, VALUES_EACH, label, len(taken) / took),
                         "distinct" if distinct else "REPEATED", "all distinct", distinct))
    finally:
        pg.close()
    return rows


class PortServer:
    """A ser2net serving each port as an rfc2217:// port of 127.0.0.1."""

    def __init__(self, work, devices):
        self.ports = []
        config = ["%YAML 1.1", "---"]
        for i, device in enumerate(devices):
            with socket.socket() as probe:
                probe.bind(("127.0.0.1", 0))
                self.ports.append(probe.getsockname()[1])
            config += ["connection: &line%d" % i,
                       "  accepter: telnet(rfc2217),tcp,127.0.0.1,%d" % self.ports[-1],
                       "  connector: serialdev,%s,9600n81,local" % device,
                       "  options:", "    chardelay: false"]
        path = os.path.join(work, "ser2net-%d.yaml" % os.getpid())
        with open(path, "w") as f:
            f.write("\n".join(config) + "\n")
        self.proc = subprocess.Popen(["ser2net", "-n", "-u", "-c", path, "-P", path + ".pid"],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wanted = {"0100007F:%04X" % port for port in self.ports}
        deadline = time.monotonic() + 10
        while True:
            with open("/proc/net/tcp") as table:
                listening = {f[1] for f in (line.split() for line in table) if f[3] == "0A"}
            if wanted <= listening:
                break
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("ser2net did not start")
            time.sleep(0.005)  # nothing announces readiness; look again shortly

    def urls(self):
        return ["rfc2217://127.0.0.1:%d" % port for port in self.ports]

    def close(self):
        self.proc.kill()
        self.proc.wait()


def network_rows(cli, sim, work, program_file, boot_file, program_size, boot_size, runs):
    """Boot and program through ser2net against the local pty; eight network boards against one."""
    rows = []
    # A boot over the network sends only an installed kernel; host and board share the store.
    store = os.path.join(work, "data")
    os.makedirs(os.path.join(store, "quill", "fpcode"), exist_ok=True)
    with open(os.path.join(store, "quill", "fpcode", "155.bin"), "wb") as f:
        f.write(bytes((i * 73 + 19) & 0xFF for i in range(1725)))
    saved = os.environ.get("XDG_DATA_HOME")
    os.environ["XDG_DATA_HOME"] = store
    try:
        jobs = [
            ("boot TX-A10, kernel + %d KB" % (boot_size // 1024),
             ["--device", "TX-A10", "--clock", str(CLOCK), "--pace"],
             ["boot", "--device", "TX-A10", "--clock", str(CLOCK), "--baud", "9600", boot_file]),
            ("program TX-A10, erase + %d KB" % (program_size // 1024),
             ["--device", "TX-A10", "--state", "user", "--pace"],
             ["program", "--device", "TX-A10", "--baud", "9600", program_file]),
        ]
        for label, board_args, cli_args in jobs:
            print("network: %s at 9600 bps, local and through ser2net..." % label, file=sys.stderr)
            local_best, net_best = None, None
            for _ in range(runs):
                board = Sim(sim, *board_args)
                try:
                    took = run_cli(cli, [cli_args[0], "--port", board.port, *cli_args[1:]])
                finally:
                    board.close()
                local_best = took if local_best is None else min(local_best, took)
                board = Sim(sim, *board_args)
                server = PortServer(work, [board.port])
                try:
                    took = run_cli(cli, [cli_args[0], "--port", server.urls()[0], *cli_args[1:]])
                finally:
                    server.close()
                    board.close()
                net_best = took if net_best is None else min(net_best, took)
            ratio = net_best / local_best
            rows.append(("%s, 9600 bps, rfc2217:// via ser2net: %.2f s / local pty %.2f s" %
                         (label, net_best, local_best), "%.3f" % ratio,
                         "<= %.2f" % NETWORK_GOAL, ratio <= NETWORK_GOAL))
        print("network: program %d KB at 9600 bps on 1 and on 8 boards through ser2net..." %
              (program_size // 1024), file=sys.stderr)
        times = {}
        for count in (1, 8):
            boards = [Sim(sim, "--device", "TX-A10", "--state", "user", "--pace")
                      for _ in range(count)]
            server = PortServer(work, [b.port for b in boards])
            try:
                times[count] = run_cli(cli, ["program", "--port", ",".join(server.urls()),
                                             "--device", "TX-A10", program_file])
            finally:
                server.close()
                for b in boards:
                    b.close()
        ratio = times[8] / times[1]
        rows.append(("program TX-A10, erase + %d KB, 9600 bps, 8 network boards at once: %.2f s / "
                     "1 network board %.2f s" % (program_size // 1024, times[8], times[1]),
                     "%.3f" % ratio,
                     "<= %.2f" % NETWORK_PARALLEL_GOAL, ratio <= NETWORK_PARALLEL_GOAL))
    finally:
        if saved is None:
            del os.environ["XDG_DATA_HOME"]
        else:
            os.environ["XDG_DATA_HOME"] = saved
    return rows


def adapter_rows(cli, sim, boot_file, program_file, boot_size, program_size):
    """Boot and program through a modelled USB adapter at 16 ms and at 1 ms, against the bound."""
    rows = []
    label, device, _, _, kernel = BOOT_TARGETS[0]
    blocks = 2 if program_size > 0x4000 else 1
    jobs = [
        ("boot %s, kernel + %d KB" % (label, boot_size // 1024),
         ["--device", device, "--clock", str(CLOCK)],
         ["boot", "--device", device, "--clock", str(CLOCK), "--baud", "9600", boot_file],
         line_seconds(boot_bytes(kernel, boot_size), 9600)),
        ("program %s, erase + %d KB" % (label, program_size // 1024),
         ["--device", device, "--state", "user"],
         ["program", "--device", device, "--baud", "9600", program_file],
         line_seconds(erase_bytes(blocks) + chunk_bytes(program_size), 9600)),
    ]
    for name, board_args, cli_args, bound in jobs:
        for latency in (16, 1):
            print("adapter: %s at 9600 bps, latency timer %d ms..." % (name, latency),
                  file=sys.stderr)
            board = Sim(sim, *board_args, "--pace", "--adapter-latency", str(latency))
            try:
                took = run_cli(cli, [cli_args[0], "--port", board.port, *cli_args[1:]])
            finally:
                board.close()
            ratio = took / bound
            goal = None if latency > 1 else ratio <= ADAPTER_GOAL
            rows.append(("%s, 9600 bps, adapter latency timer %d ms: %.2f s / bound %.2f s" %
                         (name, latency, took, bound), "%.3f" % ratio,
                         "(timer's cost)" if latency > 1 else "<= %.2f" % ADAPTER_GOAL, goal))
    return rows


# The module's boot in a python3 of its own, timed from the job to the result.
MODULE_BOOT = '''import sys, time, quill
start = time.perf_counter()
job = quill.Job("boot", device=sys.argv[2], clock=int(sys.argv[3]), rate=9600, files=[sys.argv[4]])
result = quill.run(job, sys.argv[1])
assert result.ok, result.message
print(time.perf_counter() - start)
'''


def module_row(cli, sim, build, boot_file, boot_size, runs):
    """Boot TX-A10 from Python and from quill-cli on the same paced board, in turn."""
    _, device, _, _, _ = BOOT_TARGETS[0]
    env = dict(os.environ, PYTHONPATH=os.path.join(build, "python"))
    t_module, t_cli = None, None
    for _ in range(runs):
        board = Sim(sim, "--device", device, "--clock", str(CLOCK), "--pace")
        try:
            took = float(subprocess.run(["/usr/bin/python3", "-c", MODULE_BOOT, board.port, device,
                                         str(CLOCK), boot_file], stdout=subprocess.PIPE,
                                        env=env, text=True, check=True).stdout)
        finally:
            board.close()
        t_module = took if t_module is None else min(t_module, took)
        board = Sim(sim, "--device", device, "--clock", str(CLOCK), "--pace")
        try:
            took = run_cli(cli, ["boot", "--port", board.port, "--device", device, "--clock",
                                 str(CLOCK), "--baud", "9600", boot_file])
        finally:
            board.close()
        t_cli = took if t_cli is None else min(t_cli, took)
    ratio = t_module / t_cli
    return ("boot %s, kernel + %d KB, 9600 bps from Python (quill.run): %.2f s / quill-cli %.2f s"
            % (device, boot_size // 1024, t_module, t_cli), "%.3f" % ratio,
            "<= %.2f" % MODULE_GOAL, ratio <= MODULE_GOAL)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build-rel"),
                        help="the Release build folder (default build-rel)")
    parser.add_argument("--quick", action="store_true",
                        help="smaller files and fewer repetitions: a smoke run, not a measurement")
    parser.add_argument("--station-only", action="store_true",
                        help="only the programming station's row")
    parser.add_argument("--adapter-only", action="store_true",
                        help="only the rows of the USB adapter's latency timer")
    parser.add_argument("--records-only", action="store_true",
                        help="only the record store's rows (PostgreSQL and SQLite)")
    parser.add_argument("--python-only", action="store_true",
                        help="only the Python module's row (its boot against quill-cli's)")
    opts = parser.parse_args()

    build = os.path.abspath(opts.build)
    cli = os.path.join(build, "cli", "quill-cli")
    sim = os.path.join(build, "sim", "quill-sim")
    floor = os.path.join(build, "bench", "quill-bench-line")
    wizard = os.path.join(build, "bench", "quill-bench-wizard")
    srec_info = shutil.which("srec_info")
    only_line = opts.station_only or opts.adapter_only or opts.records_only or opts.python_only
    for path in (cli, sim) if only_line else (cli, sim, floor):
        if not os.access(path, os.X_OK):
            sys.exit("run_bench.py: %s is missing; build the Release tree first" % path)
    if srec_info is None and not only_line:
        sys.exit("run_bench.py: srec_info is missing (Debian package srecord)")

    small_mb, large_mb, runs = (8, 16, 1) if opts.quick else (64, 256, 3)
    program_size = 4096 if opts.quick else 32 * 1024
    boot_size = 1024 if opts.quick else 2048
    rows = []  # (measure, value, goal text, met)
    work = tempfile.mkdtemp(prefix="quill-bench-")
    if opts.records_only:
        try:
            rows += record_rows(cli, sim, os.path.join(build, "bench", "quill-bench-values"), work)
            return print_rows(rows)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    if opts.station_only:
        try:
            print("station: %d boards, %d at a time..." % (STATION_BOARDS, STATION_LANES),
                  file=sys.stderr)
            rows.append(station_row(cli, sim, work, 4096))
            rows.append(station_row(cli, sim, work, 4096, automatic=True))
            return print_rows(rows)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    if opts.python_only:
        try:
            boot_file = os.path.join(work, "boot.srec")
            write_program(boot_file, boot_size)
            print("python: boot TX-A10 from the module and from quill-cli...", file=sys.stderr)
            rows.append(module_row(cli, sim, build, boot_file, boot_size, runs))
            return print_rows(rows)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    if opts.adapter_only:
        try:
            boot_file = os.path.join(work, "boot.srec")
            write_program(boot_file, boot_size)
            program_file = os.path.join(work, "program.srec")
            write_program(program_file, program_size)
            rows += adapter_rows(cli, sim, boot_file, program_file, boot_size, program_size)
            return print_rows(rows)
        finally:
            shutil.rmtree(work, ignore_errors=True)
    try:
        # --- 1. program-file check -------------------------------------------------------
        print("check: generating %d MB and %d MB S-record files..." % (small_mb, large_mb),
              file=sys.stderr)
        small = os.path.join(work, "small.srec")
        large = os.path.join(work, "large.srec")
        small_size = write_large(small, small_mb)
        ours = [cli, "check", "--device", "TX-A10", small]
        theirs = [srec_info, small]
        t_ours, t_theirs = timed_pair(ours, theirs, runs)
        ratio = t_ours / t_theirs
        rows.append(("check %d MB: quill-cli %.2f s / srec_info %.2f s (%.0f MB/s)" %
                     (small_size >> 20, t_ours, t_theirs, small_size / t_ours / 1e6),
                     "%.2f" % ratio, "<= %.2f" % CHECK_GOAL, ratio <= CHECK_GOAL))
        mem_small = peak_kb(floor, ours)
        large_size = write_large(large, large_mb)
        mem_large = peak_kb(floor, [cli, "check", "--device", "TX-A10", large])
        srec_small, srec_large = peak_kb(floor, theirs), peak_kb(floor, [srec_info, large])
        os.remove(large)
        growth = mem_large / mem_small
        rows.append(("check peak memory %d MB / %d MB file: %d KB / %d KB (srec_info %d / %d KB)" %
                     (large_size >> 20, small_size >> 20, mem_large, mem_small, srec_large,
                      srec_small), "%.2f" % growth, "~1.00", growth <= 1.05))

        # The same data as Intel HEX: against the S3 check, against srec_info, memory.
        print("check: the same as Intel HEX...", file=sys.stderr)
        small_hex = os.path.join(work, "small.hex")
        large_hex = os.path.join(work, "large.hex")
        hex_size = write_large(small_hex, small_mb, intel=True)
        ours_hex = [cli, "check", "--device", "TX-A10", small_hex]
        t_hex, t_s3 = timed_pair(ours_hex, ours, runs)
        ratio = t_hex / t_s3
        rows.append(("check %d MB Intel HEX: quill-cli %.2f s / the same data as S3 %.2f s" %
                     (hex_size >> 20, t_hex, t_s3), "%.2f" % ratio, "<= %.2f" % HEX_GOAL,
                     ratio <= HEX_GOAL))
        t_hex, t_info = timed_pair(ours_hex, [srec_info, small_hex, "-Intel"], runs)
        ratio = t_hex / t_info
        rows.append(("check %d MB Intel HEX: quill-cli %.2f s / srec_info %.2f s" %
                     (hex_size >> 20, t_hex, t_info), "%.2f" % ratio,
                     "<= %.2f" % CHECK_GOAL, ratio <= CHECK_GOAL))
        mem_small = peak_kb(floor, ours_hex)
        large_hex_size = write_large(large_hex, large_mb, intel=True)
        mem_large = peak_kb(floor, [cli, "check", "--device", "TX-A10", large_hex])
        os.remove(large_hex)
        growth = mem_large / mem_small
        rows.append(("check peak memory Intel HEX %d MB / %d MB file: %d KB / %d KB" %
                     (large_hex_size >> 20, hex_size >> 20, mem_large, mem_small),
                     "%.2f" % growth, "~1.00", growth <= 1.05))

        # --- 2. line efficiency ----------------------------------------------------------
        boot_file = os.path.join(work, "boot.srec")
        write_program(boot_file, boot_size)
        for label, device, mode, kernel_id, kernel in BOOT_TARGETS:
            print("line: boot %s at 9600 bps..." % label, file=sys.stderr)
            mode_args = ["--mode", mode] if mode else []
            board_args = ["--device", device, *mode_args, "--clock", str(CLOCK), "--pace"]
            bound = line_seconds(boot_bytes(kernel, boot_size), 9600)
            board = Sim(sim, *board_args)
            try:
                took = run_cli(cli, ["boot", "--port", board.port, "--device", device, *mode_args,
                                     "--clock", str(CLOCK), "--baud", "9600", boot_file])
            finally:
                board.close()
            board = Sim(sim, *board_args)
            try:
                floor_took = run_floor(floor, ["boot", board.port, "9600", str(kernel_id),
                                               str(boot_size // 32), "32"])
            finally:
                board.close()
            ratio = took / bound
            rows.append(("boot %s, kernel + %d KB, 9600 bps: %.2f s / bound %.2f s" %
                         (label, boot_size // 1024, took, bound), "%.3f" % ratio,
                         "<= %.2f" % LINE_GOALS[9600], ratio <= LINE_GOALS[9600]))
            rows.append(("  floor: the same exchange from a bare client: %.2f s" % floor_took,
                         "%.3f" % (floor_took / bound), "(board + pty)", None))

        program_file = os.path.join(work, "program.srec")
        write_program(program_file, program_size)
        blocks = 2 if program_size > 0x4000 else 1  # LB0 (and LB1) of TX-A10
        for bps in (9600, 115200):
            print("line: program %d KB at %d bps..." % (program_size // 1024, bps),
                  file=sys.stderr)
            board = Sim(sim, "--device", "TX-A10", "--state", "user", "--pace")
            try:
                took = run_cli(cli, ["program", "--port", board.port, "--device", "TX-A10",
                                     "--baud", str(bps), program_file])
            finally:
                board.close()
            bound = line_seconds(erase_bytes(blocks) + chunk_bytes(program_size), bps)
            ratio = took / bound
            rows.append(("program TX-A10, erase + %d KB, %d bps: %.2f s / bound %.2f s" %
                         (program_size // 1024, bps, took, bound), "%.3f" % ratio,
                         "<= %.2f" % LINE_GOALS[bps], ratio <= LINE_GOALS[bps]))
            board = Sim(sim, "--device", "TX-A10", "--state", "user", "--pace")
            try:
                floor_took = run_floor(floor, ["program", board.port, str(bps),
                                               str(program_size // 32), "32"])
            finally:
                board.close()
            floor_bound = line_seconds(chunk_bytes(program_size), bps)
            rows.append(("  floor: the same chunks from a bare client: %.2f s / bound %.2f s" %
                         (floor_took, floor_bound), "%.3f" % (floor_took / floor_bound),
                         "(board + pty)", None))

        # --- 2b. several boards at once ------------------------------------------------
        print("line: program %d KB at 9600 bps on 1 and on 4 boards at once..." %
              (program_size // 1024), file=sys.stderr)
        times = {}
        for count in (1, 4):
            boards = [Sim(sim, "--device", "TX-A10", "--state", "user", "--pace")
                      for _ in range(count)]
            try:
                times[count] = run_cli(cli, ["program", "--port", ",".join(b.port for b in boards),
                                             "--device", "TX-A10", program_file])
            finally:
                for b in boards:
                    b.close()
        ratio = times[4] / times[1]
        rows.append(("program TX-A10, erase + %d KB, 9600 bps, 4 boards at once: %.2f s / 1 board "
                     "%.2f s" % (program_size // 1024, times[4], times[1]), "%.3f" % ratio,
                     "<= %.2f" % PARALLEL_GOAL, ratio <= PARALLEL_GOAL))

        # --- 2c. a programming station ----------------------------------------------------
        print("station: %d boards, %d at a time..." % (STATION_BOARDS, STATION_LANES),
              file=sys.stderr)
        rows.append(station_row(cli, sim, work, 1024 if opts.quick else 4096))
        rows.append(station_row(cli, sim, work, 1024 if opts.quick else 4096, automatic=True))
        # --- 2d. boards on another computer ---------------------------------------------
        if shutil.which("ser2net"):
            rows += network_rows(cli, sim, work, program_file, boot_file, program_size, boot_size,
                                 runs)
        else:
            rows.append(("boards on another computer (ser2net not installed)", "-", "-", None))
        # --- 2f. the record store -------------------------------------------------------
        values = os.path.join(build, "bench", "quill-bench-values")
        if os.access(values, os.X_OK) and os.path.isdir("/usr/lib/postgresql"):
            rows += record_rows(cli, sim, values, work)
        else:
            rows.append(("the record store (PostgreSQL not installed)", "-", "-", None))

        # --- 2e. a USB adapter's latency timer -------------------------------------------
        rows += adapter_rows(cli, sim, boot_file, program_file, boot_size, program_size)
        # --- 2g. from Python ------------------------------------------------------------
        if os.path.isdir(os.path.join(build, "python")):
            print("python: boot TX-A10 from the module and from quill-cli...", file=sys.stderr)
            rows.append(module_row(cli, sim, build, boot_file, boot_size, runs))
        else:
            rows.append(("from Python (the module not built: no pybind11)", "-", "-", None))

        # --- 3. the wizard ---------------------------------------------------------------
        if os.access(wizard, os.X_OK):
            print("wizard: unpaced boot run...", file=sys.stderr)
            env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
            result = subprocess.run([wizard, "TX-C30", str(program_size // 32)],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                    env=env)
            values = dict(line.split(" ", 1) for line in result.stdout.splitlines() if " " in line)
            handled = int(values.get("notifications_handled", -1))
            expected = int(values.get("notifications_expected", -2))
            gap = float(values.get("max_gap_ms", "inf"))
            rows.append(("wizard, unpaced boot TX-C30 + %d KB (%s s): notifications handled / "
                         "posted %d / %d" % (program_size // 1024, values.get("run_seconds", "?"),
                                             handled, expected),
                         "%.3f" % (handled / expected if expected > 0 else 0), "= 1",
                         handled == expected and result.returncode == 0))
            rows.append(("wizard, longest gap between two processed events", "%.1f ms" % gap,
                         "< %.0f ms" % GAP_GOAL_MS, gap < GAP_GOAL_MS))
        else:
            rows.append(("wizard (quill-bench-wizard not built: QUILL_GUI=OFF)", "-", "-", None))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return print_rows(rows)


def print_rows(rows):
    width = max(len(r[0]) for r in rows)
    print("%-*s  %9s  %13s  %s" % (width, "measure", "ratio", "goal", "met"))
    print("-" * (width + 32))
    for measure, value, goal, met in rows:
        mark = "" if met is None else "yes" if met else "NO"
        print("%-*s  %9s  %13s  %s" % (width, measure, value, goal, mark))
    return 0 if all(r[3] is not False for r in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
