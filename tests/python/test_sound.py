"""The sound card from several threads, on a PulseAudio server of the
test's own whose default source is a 1000 Hz sine."""

import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import warnings

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


# ---- playback: the default sink is the null sink "out", read back from its monitor ----

class Monitor:
    """parec reading the sink's monitor while a test plays into it."""

    def __init__(self, channels):
        if not shutil.which("parec"):
            pytest.skip("parec is not installed")
        self.channels = channels
        self.file = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(["parec", "-d", "out.monitor", "--raw", "--format=s16le", "--rate=44100",
                                      f"--channels={channels}", "--latency-msec=20"], stdout=self.file)
        # Recording once the first frames (the sink's silence) are in.
        for _ in range(200):
            if os.fstat(self.file.fileno()).st_size > 0 or self.proc.poll() is not None:
                break
            time.sleep(0.05)
        assert os.fstat(self.file.fileno()).st_size > 0, "parec records nothing"

    def samples(self):
        """What the monitor heard, shaped (channels, frames), once the last
        of the playback has come through."""
        time.sleep(0.5)  # the monitor's latency: not a measurement
        self.proc.terminate()
        self.proc.wait(10)
        self.file.seek(0)
        data = np.frombuffer(self.file.read(), dtype="<i2")
        self.file.close()
        frames = data.size // self.channels
        return data[:frames * self.channels].reshape(frames, self.channels).T.astype(np.float64)


def tone(frequency, rate, seconds, amplitude):
    return amplitude * np.sin(2 * np.pi * frequency * np.arange(round(rate * seconds)) / rate)


def heard(x):
    """The frequency, peak and length (in 44.1 kHz frames) of what stands
    out of the silence in x."""
    loud = np.flatnonzero(np.abs(x) > 1000)
    assert loud.size, "nothing was heard"
    sound = x[loud[0]:loud[-1] + 1]
    spectrum = np.abs(np.fft.rfft(sound))
    return np.fft.rfftfreq(sound.size, 1 / 44100)[spectrum.argmax()], np.abs(sound).max(), sound.size


# 44100 copied; 2000 resampled by the library to 8000 Hz (four frames per
# sample); 48000 and 5000, no device's rate, resampled by the package to
# 44100 and 8000 Hz (the library would copy them at 44100 and 8000 Hz).
@pytest.mark.parametrize("rate", [44100, 2000, 48000, 5000])
def test_one_channel_plays_whole_at_its_pitch_and_level(sound_server, rate):
    monitor = Monitor(1)
    signal = tone(200, rate, 1.0, 0.5)  # more samples than one call of the library takes, at any rate
    kelmo.card(800).play(signal, rate)
    frequency, peak, length = heard(monitor.samples()[0])
    assert frequency == pytest.approx(200, abs=2)
    assert peak == pytest.approx(0.5 * 32768, rel=0.1)
    assert 0.99 * 44100 <= length <= 1.01 * 44100  # from its first sample to its last: 1 s


def test_a_signal_far_above_the_device_rate_is_not_padded_at_its_own_rate(sound_server):
    # 0.3 s of silence at 10 MHz would be 48 MB of padding for 10 samples.
    import tracemalloc
    tracemalloc.start()
    try:
        kelmo.card(800).play(np.ones(10), 10e6)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 16 << 20, f"playing 10 samples took {peak / 2**20:.1f} MiB"


def test_two_channels_and_raw_words(sound_server):
    monitor = Monitor(2)
    left, right = tone(440, 44100, 0.6, 8000), tone(660, 44100, 0.6, 16000)
    kelmo.card(800).play(np.array([left, right]).astype(np.int16), 44100)  # words: full scale 32768
    heard_left, heard_right = (heard(x) for x in monitor.samples())
    assert heard_left[0] == pytest.approx(440, abs=2) and heard_left[1] == pytest.approx(8000, rel=0.1)
    assert heard_right[0] == pytest.approx(660, abs=2) and heard_right[1] == pytest.approx(16000, rel=0.1)
    with pytest.raises(ValueError, match="shape"):
        kelmo.card(800).play(np.zeros((3, 10)), 44100)
    with pytest.raises(ValueError, match="only the sound card"):
        kelmo.card(123).play(left, 44100)


def test_the_catalogue_lists_the_sound_card_it_can_use(sound_server):
    with warnings.catch_warnings():
        warnings.simplefilter("error", kelmo.SoundCardMissing)
        found = [c for c in kelmo.cards(sound=True) if c.card_type == 800]
    assert len(found) == 1 and found[0].channels == 2
