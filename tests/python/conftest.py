"""The programs the tests run beside the library, found through
environment variables that run.sh sets from a build directory:
KELMO_LIBRARY (the library), KELMO_GENWAVE (the signal-source program) and
KELMO_ZEBSIM (the simulated card)."""

import os
import subprocess
import sys

import pytest

# Shared-memory names of this run only, also for the programs it starts;
# set before the library is loaded.
os.environ.setdefault("KELMO_SHM_NAMESPACE", f"kelmo-pytest-{os.getpid()}")

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: builds the library (a minute or more); run.sh runs it too")


def _program(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.skip(f"{variable} does not name a program")
    return path


class Peer:
    """A program started for a test; its first line says it is ready."""

    def __init__(self, argv, env=None):
        self.proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        self.first_line = self.proc.stdout.readline()
        if "(pid " not in self.first_line:
            self.stop()
            raise RuntimeError(f"{argv[0]} did not start: {self.first_line!r} {self.proc.stderr.read()!r}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture(scope="session")
def genwave():
    """genwave publishing its built-in set: channel 0 a 50 Hz cosine of
    amplitude 3000, channel 1 white noise, channel 5 a 30 Hz triangle of
    amplitude 2000, channel 7 a sum channel."""
    peer = Peer([_program("KELMO_GENWAVE")])
    yield peer
    peer.stop()


@pytest.fixture
def sim(genwave):
    import kelmo
    return kelmo.card(123)


@pytest.fixture
def device_dir(tmp_path, monkeypatch):
    """A device folder of the test's own (empty: no device answers)."""
    d = tmp_path / "dev"
    d.mkdir()
    monkeypatch.setenv("KELMO_DEVICE_DIR", str(d))
    return d


@pytest.fixture
def zebsim(device_dir, tmp_path):
    """Starts zebsim on the test's device folder, unpaced unless asked
    for real time: ``zebsim("--realtime")``. Its request log is
    ``peer.log`` (one line per request)."""
    program = _program("KELMO_ZEBSIM")
    peers = []

    def start(*options):
        log = tmp_path / f"zebsim-{len(peers)}.log"
        pace = [] if "--realtime" in options else ["--unpaced"]
        peer = Peer([program, *pace, "--dir", str(device_dir), "--log", str(log), *options])
        peer.log = log
        peers.append(peer)
        return peer

    yield start
    for p in peers:
        p.stop()
