"""The sound card from several threads, on a PulseAudio server of the
test's own whose default source is a 1000 Hz sine."""

import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import numpy as np
import pytest

import kelmo


@pytest.fixture(scope="module")
def sound_server():
    if not shutil.which("pulseaudio") or not shutil.which("pactl"):
        pytest.skip("PulseAudio is not installed")
    runtime = tempfile.mkdtemp(prefix="kelmo-pulse-")
    saved = {k: os.environ.get(k) for k in ("XDG_RUNTIME_DIR", "PULSE_SERVER")}
    os.environ["XDG_RUNTIME_DIR"] = runtime
    os.environ.pop("PULSE_SERVER", None)
    started = subprocess.run(
        ["pulseaudio", "--daemonize=yes", "--exit-idle-time=-1", "-n", "--load=module-native-protocol-unix",
         "--load=module-null-sink sink_name=out",
         "--load=module-sine-source source_name=sine rate=44100 frequency=1000"],
        capture_output=True, timeout=30).returncode == 0
    started = started and subprocess.run(["pactl", "set-default-source", "sine"], capture_output=True,
                                         timeout=30).returncode == 0
    if not started:
        pytest.skip("PulseAudio could not be started")
    yield
    try:
        with open(os.path.join(runtime, "pulse", "pid")) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    for k, v in saved.items():
        if v is None:
            os.environ.pop(k, None)
        else:
            os.environ[k] = v
    shutil.rmtree(runtime, ignore_errors=True)


def crossings(x):
    return int(np.count_nonzero(np.signbit(x[1:]) != np.signbit(x[:-1])))


def test_threads_take_turns_on_the_sound_card(sound_server):
    card = kelmo.card(800)
    failures = []

    def acquire():
        try:
            for _ in range(5):
                block = card.acquire(channels=1, samples=4096, rate=44100, raw=True)
                assert abs(crossings(block.data[0]) - 2 * 1000 * 4096 / 44100) <= 3
        except Exception as e:  # collected for the main thread
            failures.append(e)

    threads = [threading.Thread(target=acquire) for _ in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_a_stream_holds_the_sound_card_until_it_closes(sound_server):
    card = kelmo.card(800)
    done = []
    with card.stream(channels=1, rate=44100, block=1024) as s:
        other = threading.Thread(target=lambda: done.append(card.acquire(samples=1024, rate=44100)))
        other.start()
        for _ in range(10):
            assert s.read().gap is False
        # The other thread waits its turn; this one would wait for itself.
        assert done == []
        with pytest.raises(RuntimeError, match="in use by a stream of this thread"):
            card.acquire(samples=1024, rate=44100)
    other.join(30)
    assert len(done) == 1 and done[0].data.shape == (1, 1024)
