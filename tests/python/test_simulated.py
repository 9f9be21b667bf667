"""The simulated source, published by genwave's built-in set."""

import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import kelmo


def dominant(x, rate):
    spectrum = np.abs(np.fft.rfft(x - x.mean()))
    return np.fft.rfftfreq(x.size, 1 / rate)[spectrum.argmax()]


def test_block_values_shapes_and_rates(sim):
    r = sim.acquire(channels=[5, 0, 7], samples=2000, rate=10_000)
    assert r.data.shape == (3, 2000) and r.data.dtype == np.float64
    assert r.rate == 10_000.0 and r.channels == (5, 0, 7) and r.duration == pytest.approx(0.2)
    triangle, cosine, summed = r.data
    assert cosine.max() == pytest.approx(3000, abs=5) and dominant(cosine, r.rate) == pytest.approx(50)
    assert triangle.max() == pytest.approx(2000, abs=20) and dominant(triangle, r.rate) == pytest.approx(30)
    assert np.abs(summed).max() <= 5000 and summed.std() > 100

    # Below 10 kHz the source runs on a scaled clock; the rate stays exact.
    slow = sim.acquire(channels=1, samples=100, rate=1000)
    assert slow.rate == 1000.0 and dominant(slow.data[0], 1000) == pytest.approx(50, abs=10)
    assert np.asarray(slow).shape == (1, 100)


@pytest.mark.parametrize("card_type, dtype, scale", [(123, np.int16, 10000 / 65536), (124, np.int32, 10000 / 2**32)])
def test_raw_words_have_the_card_word_size(genwave, card_type, dtype, scale):
    c = kelmo.card(card_type)
    r = c.acquire(channels=[0], samples=400, rate=10_000, raw=True)
    assert r.raw and r.data.dtype == dtype and r.data.shape == (1, 400)
    assert r.data.max() * scale == pytest.approx(3000, rel=0.01)  # the 3000 cosine as codes
    assert c.convert(r.data).max() == pytest.approx(3000, rel=0.01)


def test_another_thread_runs_while_an_acquisition_waits(sim):
    counts = []
    stop = threading.Event()

    def count():
        n = 0
        while not stop.is_set():
            n += 1
            if n % 1000 == 0:
                counts.append((time.monotonic(), n))

    t = threading.Thread(target=count)
    t.start()
    try:
        time.sleep(0.05)
        begin = time.monotonic()
        sim.acquire(channels=2, samples=4000, rate=10_000)  # 0.4 s in real time
        end = time.monotonic()
    finally:
        stop.set()
        t.join()
    assert end - begin >= 0.39
    during = [n for when, n in counts if begin + 0.05 < when < end - 0.05]
    assert len(during) > 20, "the counting thread stood still during the acquisition"


def test_stream_blocks_continue_one_waveform(sim):
    with sim.stream(channels=[0, 5], rate=10_000, block=300, blocks=4) as s:
        blocks = list(s)
        assert s.rate == 10_000.0
    assert [b.index for b in blocks] == [0, 1, 2, 3] and [b.start for b in blocks] == [0, 300, 600, 900]
    assert all(b.data.shape == (2, 300) and not b.gap for b in blocks)
    x = np.concatenate([b.data[0] for b in blocks])
    # A sampled cosine keeps x[n-1] + x[n+1] = 2 cos(w) x[n], across the joins too.
    w = 2 * np.pi * 50 / 10_000
    assert np.abs(x[:-2] + x[2:] - 2 * np.cos(w) * x[1:-1]).max() < 1e-6 * 3000
    assert not s.running


def test_unpaced_stream_and_raw_blocks(sim):
    begin = time.monotonic()
    with sim.stream(channels=1, rate=1000, block=1000, blocks=3, paced=False, raw=True) as s:
        blocks = [b.data for b in s]
    assert time.monotonic() - begin < 1.0  # 3 s of samples
    assert all(b.dtype == np.int16 and b.shape == (1, 1000) for b in blocks)


class RecoverSpy:
    def __init__(self, monkeypatch):
        self.calls = []
        real = kelmo._lib.lib.recover

        def spy(handle, card_type):
            self.calls.append(card_type)
            return real(handle, card_type)

        monkeypatch.setattr(kelmo._lib.lib._dll, "recover", spy)


@pytest.mark.parametrize("error", [RuntimeError, KeyboardInterrupt])
def test_stream_stops_on_an_exception(sim, monkeypatch, error):
    spy = RecoverSpy(monkeypatch)
    with pytest.raises(error):
        with sim.stream(channels=2, rate=10_000, block=200) as s:
            for b in s:
                if b.index == 1:
                    raise error("stop")
    assert spy.calls == [123] and not s.running
    s.close()  # a second close does nothing
    assert spy.calls == [123]


def test_stream_without_with_stops_when_the_loop_ends(sim, monkeypatch):
    spy = RecoverSpy(monkeypatch)
    s = sim.stream(channels=1, rate=10_000, block=100)
    for b in s:
        assert s.running
        if b.index == 2:
            break
    assert spy.calls == [123] and not s.running


def test_trigger_conditions(sim):
    for slope in ("rising", "falling"):
        r = sim.trigger(level=1000, slope=slope, pre=100, samples=500, rate=10_000, channels=[0, 5])
        assert r.data.shape == (2, 500) and r.trigger_index == 100 and r.rate == 10_000.0
        before, at = r.data[0][99], r.data[0][100]
        assert (before <= 1000 < at) if slope == "rising" else (before >= 1000 > at)
        assert dominant(r.data[1], r.rate) == pytest.approx(30, abs=20)  # the triangle came along

    # A level trigger compares magnitudes; the trigger channel need not come first.
    r = sim.trigger(level=-1500, slope="level", pre=10, samples=300, rate=10_000, channels=[0, 5],
                    trigger_channel=5)
    assert abs(r.data[1][10]) > 1500


def test_trigger_ends_on_interrupt_timeout_and_ctrl_c(sim):
    # Level 1e9 never comes: only the interrupt ends each wait.
    threading.Timer(0.3, kelmo.interrupt_trigger).start()
    begin = time.monotonic()
    with pytest.raises(kelmo.TriggerInterrupted) as e:
        sim.trigger(level=1e9, samples=2000, rate=10_000)
    assert 0.25 < time.monotonic() - begin < 3
    assert not isinstance(e.value, kelmo.TriggerTimeout)
    assert e.value.newest.data.shape == (1, 1024) and np.abs(e.value.newest.data).max() > 2000

    begin = time.monotonic()
    with pytest.raises(kelmo.TriggerTimeout):
        sim.trigger(level=1e9, samples=100, rate=10_000, timeout=0.4)
    assert 0.35 < time.monotonic() - begin < 3
    assert kelmo.interrupt_trigger() is False  # nothing waits any more

    if threading.current_thread() is threading.main_thread():
        # A process started in the background by a shell without job
        # control inherits Ctrl-C ignored, and Python then leaves it so: the
        # usual handler is put in place for this part. The time-out only
        # keeps a lost signal from hanging the run (it would fail instead).
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
            with pytest.raises(KeyboardInterrupt):
                sim.trigger(level=1e9, samples=100, rate=10_000, timeout=20)
                time.sleep(1)  # where the interrupt lands at the latest
        finally:
            signal.signal(signal.SIGINT, previous)


def test_ctrl_c_ends_a_long_block_at_once_and_the_card_stays_usable(sim):
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("KeyboardInterrupt reaches the main thread only")
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)  # see the trigger's test
    try:
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        begin = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            sim.acquire(samples=1000, rate=100)  # 10 s of samples
            time.sleep(5)  # where the interrupt lands at the latest
        assert time.monotonic() - begin < 2
    finally:
        signal.signal(signal.SIGINT, previous)
    r = sim.acquire(channels=1, samples=500, rate=10_000)  # two and a half periods of the 50 Hz cosine
    assert r.data.shape == (1, 500) and 2990 < np.abs(r.data).max() <= 3000


def test_ctrl_c_ends_a_long_stream_block_at_once_and_loses_nothing(sim):
    if threading.current_thread() is not threading.main_thread():
        pytest.skip("KeyboardInterrupt reaches the main thread only")
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with sim.stream(channels=1, rate=1000, block=1000) as s:  # blocks of a second
            threading.Timer(0.35, os.kill, (os.getpid(), signal.SIGINT)).start()
            begin = time.monotonic()
            with pytest.raises(KeyboardInterrupt):
                s.read()
                time.sleep(5)
            assert time.monotonic() - begin < 0.35 + 0.3
            blocks = [s.read(), s.read()]  # the interrupted block whole, then the next
    finally:
        signal.signal(signal.SIGINT, previous)
    assert [b.start for b in blocks] == [0, 1000] and not any(b.gap for b in blocks)
    x = np.concatenate([b.data[0] for b in blocks])
    w = 2 * np.pi * 50 / 1000
    assert np.abs(x[:-2] + x[2:] - 2 * np.cos(w) * x[1:-1]).max() < 1e-6 * 3000
    assert 2990 < np.abs(x).max() <= 3000


def test_arguments_are_checked_before_the_library_sees_them(sim):
    with pytest.raises(ValueError, match="channel 32"):
        sim.acquire(channels=[0, 32], samples=10, rate=10_000)
    with pytest.raises(ValueError, match="gain 3"):
        sim.acquire(channels=1, samples=10, rate=10_000, gain=3)
    with pytest.raises(ValueError, match="slope"):
        sim.trigger(level=0, slope="up", rate=10_000)
    with pytest.raises(ValueError, match="pre"):
        sim.trigger(level=0, pre=1024, rate=10_000)
    with pytest.raises(ValueError, match="paced"):
        kelmo.card(124).stream(rate=10_000, paced=False)


def test_the_example_plots_without_a_display(genwave, tmp_path):
    pytest.importorskip("matplotlib")
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "plot_channel.py")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), MPLBACKEND="Agg")
    png = tmp_path / "ch.png"
    out = subprocess.run([sys.executable, example, "-c", "5", "-n", "2000", "-o", str(png)], env=env,
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_a_recording_runs_in_the_background_and_wait_gives_its_samples(sim):
    rec = sim.record(channels=[0, 5], rate=10_000, seconds=0.35)  # blocks of 1000: the last one is cut
    assert not rec.done  # returned at once, with 0.35 s to record
    data = rec.wait()
    assert rec.done and rec.rate == 10_000.0 and rec.gaps == 0
    assert data.shape == (2, 3500) and data.dtype == np.float64
    assert dominant(data[0], 10_000) == pytest.approx(50, abs=3) and dominant(data[1], 10_000) == pytest.approx(30, abs=3)
    w = 2 * np.pi * 50 / 10_000  # one cosine across the blocks' joins
    x = data[0]
    assert np.abs(x[:-2] + x[2:] - 2 * np.cos(w) * x[1:-1]).max() < 1e-6 * 3000

    raw = sim.record(channels=1, rate=10_000, seconds=0.05, raw=True).wait()
    assert raw.dtype == np.int16 and raw.shape == (1, 500)


def test_a_recording_without_seconds_runs_until_stopped(sim):
    with sim.record(channels=2, rate=10_000, block=200) as rec:
        while rec.data.shape[1] < 600:
            time.sleep(0.01)
    data = rec.wait()  # stopped by the with statement, after whole blocks
    assert data.shape[0] == 2 and data.shape[1] >= 600 and data.shape[1] % 200 == 0
    # The card is free again for the next acquisition.
    assert sim.acquire(channels=1, samples=100, rate=10_000).data.shape == (1, 100)
    for wrong in ({"seconds": 0}, {"seconds": float("nan")}, {"rate": -1, "seconds": 1}, {"block": 0, "seconds": 1}):
        with pytest.raises(ValueError):
            sim.record(**{"channels": 1, "rate": 10_000, **wrong})
