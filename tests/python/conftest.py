"""Simulated boards and quill-cli for the module's tests: the paths come from ctest's
environment (QUILL_SIM, QUILL_CLI); kernels installed on this machine never change a test."""
import json
import os
import signal
import subprocess
import tempfile

import pytest

SIM = os.environ.get("QUILL_SIM", "quill-sim")
CLI = os.environ.get("QUILL_CLI", "quill-cli")
DEMO = os.path.join(os.path.dirname(__file__), "..", "..", "docs", "demo.mot")
_home = tempfile.mkdtemp(prefix="quill-pytest-")
os.environ["XDG_DATA_HOME"] = os.path.join(_home, "nonexistent")
os.environ["XDG_RUNTIME_DIR"] = _home
os.environ.pop("QUILL_RECORDS", None)


class Board:
    """A quill-sim process on a pseudo-terminal, its every byte logged, its flash kept."""

    def __init__(self, folder, *args):
        fd, self.flash = tempfile.mkstemp(dir=folder, suffix=".bin")
        os.close(fd)
        self.log = self.flash + ".log"
        with open(self.log, "w") as log:
            self.proc = subprocess.Popen(
                [SIM, "--no-announce", "--verbose", "--flash-out", self.flash, *args],
                stdout=subprocess.PIPE, stderr=log, text=True)
        self.port = self.proc.stdout.readline().strip()
        assert self.port, open(self.log).read()

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)

    def transcript(self):
        """The bytes on the line, direction by direction, however the reads were cut."""
        self.close()
        runs = []
        for line in open(self.log):
            words = line.split()
            if len(words) < 3 or words[1] not in "<>":
                continue
            data = bytes.fromhex("".join(words[2:]))
            if runs and runs[-1][0] == words[1]:
                runs[-1][1] += data
            else:
                runs.append([words[1], bytearray(data)])
        return runs, open(self.flash, "rb").read()


@pytest.fixture
def boards(tmp_path):
    made = []

    def make(*args):
        made.append(Board(tmp_path, *args))
        return made[-1]
    yield make
    for board in made:
        board.close()


def cli(*args):
    """quill-cli's exit status, its JSON on standard output and its standard error."""
    done = subprocess.run([CLI, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    out = [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]
    return done.returncode, out, done.stderr


def cli_text(stderr):
    """quill-cli's message as the module words it: without the program's name and hint."""
    lines = [line[len("quill-cli: "):] if line.startswith("quill-cli: ") else line
             for line in stderr.splitlines() if line != "Try 'quill-cli --help'."]
    return "\n".join(lines)
