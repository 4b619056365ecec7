"""Program a board from a pytest test and check its record (README, "From Python").
Run: QUILL_SIM=build/sim/quill-sim PYTHONPATH=build/python python3 -m pytest examples/"""
import os
import subprocess

import pytest
import quill

DEMO = os.path.join(os.path.dirname(__file__), "..", "docs", "demo.mot")


@pytest.fixture
def board_port():
    # A simulated TX-A10 with its kernel running; a real station passes its adapter's port.
    sim = subprocess.Popen([os.environ.get("QUILL_SIM", "quill-sim"), "--no-announce",
                            "--device", "TX-A10", "--state", "user"],
                           stdout=subprocess.PIPE, text=True)
    yield sim.stdout.readline().strip()
    sim.terminate()
    sim.wait()


def test_program_the_board(board_port):
    job = quill.Job("program", device="TX-A10", files=[DEMO])
    result = quill.run(job, board_port)
    assert result.ok, result.message
    assert result.record["result"] == "success"
    assert result.record["bytes_inside"] == 0x800
    assert result.record["blocks"] == ["LB0"]
