"""The module against quill-cli on simulated boards: the same data, bytes, results and texts."""
import json
import os
import shutil
import signal
import sqlite3
import threading
import time
import _thread

import pytest
import quill
from conftest import CLI, DEMO, cli, cli_text

VOLATILE = ("time", "seconds", "port")


def same_record(record, other):
    strip = lambda r: {k: v for k, v in r.items() if k not in VOLATILE}
    assert strip(record) == strip(other)


def test_catalogue_ports_and_version_are_quill_cli_s(boards):
    boards("--device", "TX-C30")
    assert quill.devices() == cli("devices", "--json")[1][0]
    assert quill.ports() == cli("ports", "--json")[1][0]
    assert cli("--version")[2] == "" and quill.__version__ in open(CLI, "rb").read().decode("latin-1")


@pytest.mark.parametrize("lines, kwargs", [
    (["S1130000000102030405060708090A0B0C0D0E0F74", "S9030000FC"], {}),
    (["S1130000000102030405060708090A0B0C0D0E0F00"], {}),                 # checksum
    (["S1130000000102030405060708090A0B0C0D0E0F74"], {"offset": 0x7FFFFFF0}),  # outside
])
def test_check_is_check_json(tmp_path, lines, kwargs):
    path = tmp_path / "f.mot"
    path.write_text("\n".join(lines) + "\n")
    args = ["--offset", hex(kwargs["offset"])] if kwargs else []
    status, out, err = cli("check", "--json", "--device", "TX-A10", *args, str(path))
    document = quill.check([path], device="TX-A10", **kwargs)
    assert document.pop("messages") == cli_text(err).splitlines()
    assert document == out[0] and document["exit_status"] == status


@pytest.mark.parametrize("command, board, kwargs", [
    ("boot", ["--clock", "8"], {"clock": 8}),
    ("program", ["--state", "user"], {"blocks": "all"}),
    ("erase", ["--state", "user"], {"blocks": ["SB0", "LB1"], "files": None}),
])
def test_module_sends_what_quill_cli_sends(boards, command, board, kwargs):
    job = quill.Job(command, device="TX-A10", **{"files": [DEMO], **kwargs})
    theirs, ours = boards(*board), boards(*board)
    status, records, _ = cli(command, "--port", theirs.port, *job.args, "--json", "--quiet")
    result = quill.run(job, ours.port)
    assert (result.ok, result.exit_status, status) == (True, 0, 0)
    same_record(result.record, records[0])
    assert result.bytes_inside == (0 if command == "erase" else 0x800)
    assert result.kernel_id == (155 if command == "boot" else None)
    assert result.kernel_sha256 == result.record.get("kernel_sha256")
    line, flash = ours.transcript()
    assert line[0][0] == ">" and (line, flash) == theirs.transcript()


def test_four_boards_at_once_in_the_order_of_the_ports(boards):
    ports = [boards("--state", "user").port for _ in range(4)]
    seen = set()
    results = quill.run_many(quill.Job("program", device="TX-A10", files=[DEMO]), ports,
                             progress=lambda p: seen.add(p.port))
    assert [r.port for r in results] == ports and seen == set(ports)
    assert all(r.ok and r.bytes_inside == 0x800 for r in results)


def test_progress_is_every_step_on_the_callers_thread(boards):
    steps, caller = [], threading.get_ident()
    result = quill.run(quill.Job("boot", device="TX-A10", clock=8, files=[DEMO]),
                       boards("--clock", "8").port,
                       progress=lambda p: steps.append((p, threading.get_ident())))
    assert result.ok and {thread for _, thread in steps} == {caller}
    phases = [p.phase for p, _ in steps]
    assert [k for i, k in enumerate(phases) if i == 0 or phases[i - 1] != k] == [
        "sync", "kernel_load", "boot_erase", "program"]
    for phase in set(phases):
        positions = [p.position for p, _ in steps if p.phase == phase]
        assert positions == sorted(positions)
    last = steps[-1][0]
    assert (last.percent, last.position) == (100, last.range) and last.text


@pytest.mark.parametrize("command, fault", [
    ("boot", "hangup:sync"), ("boot", "wrong:echo:5"), ("boot", "fail:boot-erase"),
    ("boot", "wrong:chunk-command"), ("boot", "hangup:chunk-address"),
    ("program", "fail:erase"), ("program", "hangup:erase-final"),
    ("program", "wrong:chunk-data:3"), ("program", "fail:checksum:1"),
])
def test_a_failure_is_the_result_quill_cli_gives(boards, command, fault):
    board = ["--clock", "8"] if command == "boot" else ["--state", "user"]
    job = quill.Job(command, device="TX-A10", files=[DEMO], **({"clock": 8} if command == "boot" else {}))
    theirs, ours = boards(*board, "--fault", fault), boards(*board, "--fault", fault)
    status, records, _ = cli(command, "--port", theirs.port, *job.args, "--json", "--quiet")
    result = quill.run(job, ours.port)
    assert not result.ok and result.exit_status == status != 0
    assert (result.result, result.message) == (records[0]["result"], records[0]["message"])
    same_record(result.record, records[0])


@pytest.mark.parametrize("kwargs, args, error", [
    ({"device": "TX-Z9"}, ["--device", "TX-Z9"], quill.UsageError),
    ({"clock": 11}, ["--clock", "11"], quill.UsageError),
    ({"clock": 8, "rate": 7}, ["--clock", "8", "--baud", "7"], quill.UsageError),
    ({"clock": 8, "erase": False}, ["--clock", "8", "--no-erase"], quill.UsageError),
    ({"clock": 8, "files": ["missing.mot"]}, ["--clock", "8"], quill.FileError),
    ({"clock": 8, "files": ["bad.mot"]}, ["--clock", "8"], quill.FileError),  # checksum
])
def test_bad_input_raises_with_quill_cli_s_text(tmp_path, monkeypatch, kwargs, args, error):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "bad.mot").write_text("S1130000000102030405060708090A0B0C0D0E0F00\n")
    kwargs = {"device": "TX-A10", "files": [DEMO], **kwargs}
    args = ["--device", "TX-A10", *args] if "--device" not in args else args
    status, _, err = cli("boot", *args, *kwargs["files"], "--save-job", str(tmp_path / "j"))
    with pytest.raises(error) as raised:
        quill.Job("boot", **kwargs)
    assert str(raised.value) == cli_text(err) and raised.value.exit_status == status
    assert isinstance(raised.value, quill.Error)


def test_job_files_are_quill_cli_s(boards, tmp_path):
    shutil.copy(DEMO, tmp_path / "demo.mot")
    job = quill.Job("program", device="TX-A10", files=[tmp_path / "demo.mot"], blocks=["LB0"],
                    value={"address": 0x900, "format": "u32be", "from": 7})
    cli("program", *job.args, "--save-job", str(tmp_path / "theirs.json"))
    job.save(tmp_path / "ours.json")
    assert json.load(open(tmp_path / "ours.json")) == json.load(open(tmp_path / "theirs.json"))
    loaded = quill.Job.load(tmp_path / "ours.json")
    store = tmp_path / "records.sqlite"
    result = quill.run(loaded, boards("--state", "user").port, records="sqlite:" + str(store),
                       station="bench-3")
    assert result.ok and result.record["job"] == str(tmp_path / "ours.json") and result.value == "7"
    assert sqlite3.connect(store).execute("SELECT station, value FROM quill_records").fetchall() == [
        ("bench-3", "7")]
    (tmp_path / "demo.mot").write_text("S9030000FC\n")
    status, _, err = cli("run", str(tmp_path / "ours.json"), "--port", "/dev/null")
    with pytest.raises(quill.FileError) as raised:
        quill.Job.load(tmp_path / "ours.json")
    assert (str(raised.value), raised.value.exit_status) == (cli_text(err), status)
    with pytest.raises(quill.UsageError, match="not a job"):
        quill.Job.load(DEMO)


def open_things():
    return sorted(os.listdir("/proc/self/fd")), len(os.listdir("/proc/self/task"))


def test_other_threads_run_during_an_operation(boards):
    ticks, done = [], threading.Event()

    def count():
        while not done.is_set():
            ticks.append(1)
            time.sleep(0.001)
    counter = threading.Thread(target=count)
    counter.start()
    board = boards("--state", "user", "--fault", "delay=400:chunk-data")
    result = quill.run(quill.Job("program", device="TX-A10", files=[DEMO]), board.port)
    done.set()
    counter.join()
    assert result.ok and len(ticks) > 100


def interrupt_from_callback(p):
    if p.phase == "program":
        raise KeyboardInterrupt


@pytest.mark.parametrize("how", ["callback", "interrupt_main", "sigint"])
def test_ctrl_c_aborts_every_board_and_leaves_nothing_open(boards, how):
    ports = [boards("--state", "user", "--fault", "delay=3000:chunk-data:2").port for _ in range(2)]
    before = open_things()
    timer = None
    if how != "callback":
        raise_it = _thread.interrupt_main if how == "interrupt_main" else \
            lambda: os.kill(os.getpid(), signal.SIGINT)
        timer = threading.Timer(0.3, raise_it)
        timer.start()
    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        quill.run_many(quill.Job("program", device="TX-A10", files=[DEMO]), ports,
                       progress=interrupt_from_callback if how == "callback" else None)
    assert time.monotonic() - started < 2.5
    if timer:
        timer.join()
    assert open_things() == before
