"""Cards behind the acquisition device, served by zebsim: channel c carries
a sine of (c + 1) / 64 cycles per sample at half the card's full scale."""

import time

import numpy as np
import pytest

import kelmo

STOP = "code=0x222463"  # the stop request recover sends for 602 and 603


def sine(channel, amplitude, samples, start=0):
    s = np.arange(start, start + samples)
    return amplitude * np.sin(2 * np.pi * (channel + 1) * s / 64)


def test_block_values_raw_words_and_rate(zebsim):
    zebsim()
    card = kelmo.card(602)
    r = card.acquire(channels=[1, 0], samples=256, rate=10_000)
    assert r.data.shape == (2, 256) and r.rate == 10_000.0 and r.channels == (1, 0)
    one_code = 10000 / 65536
    assert np.abs(r.data[0] - sine(1, 2500, 256)).max() <= one_code
    assert np.abs(r.data[1] - sine(0, 2500, 256)).max() <= one_code

    raw = card.acquire(channels=2, samples=256, rate=10_000, raw=True)
    assert raw.data.dtype == np.int16 and raw.data.shape == (2, 256)
    np.testing.assert_array_equal(card.convert(raw.data), r.data[::-1])

    # A card of 32-bit words (outside the catalogue: its rate comes from the read-back).
    wide = kelmo.card(892)
    w = wide.acquire(channels=3, samples=128, rate=20_000, raw=True)
    assert wide.word_bytes == 4 and w.data.dtype == np.int32 and w.data.shape == (3, 128)
    assert w.rate == pytest.approx(20_000, rel=0.01)
    assert np.abs(wide.convert(w.data)[2] - sine(2, 5000, 128)).max() < 1e-3


def test_stream_continues_the_time_base(zebsim):
    zebsim()
    with kelmo.card(602).stream(channels=[1], rate=5_000, block=100, blocks=3) as s:
        blocks = list(s)
    assert s.gaps == 0 and [b.gap for b in blocks] == [False] * 3
    x = np.concatenate([b.data[0] for b in blocks])
    assert np.abs(x - sine(1, 2500, 300)).max() <= 10000 / 65536


@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt])
def test_stream_releases_the_device_on_an_exception(zebsim, error):
    peer = zebsim()
    card = kelmo.card(602)
    with pytest.raises(error):
        with card.stream(channels=2, rate=10_000, block=256) as s:
            for b in s:
                raise error("stop")
    assert not s.running  # s is still referenced: the with statement stopped it
    assert peer.log.read_text().splitlines()[-1].startswith(STOP)
    # zebsim serves one client at a time: a stream left open would hold it.
    assert card.acquire(channels=1, samples=16, rate=10_000).data.shape == (1, 16)


def test_a_late_fetch_is_reported_as_a_gap(zebsim):
    zebsim("--realtime")
    with kelmo.card(602).stream(channels=2, rate=10_000, block=500) as s:
        first = s.read()
        time.sleep(0.25)  # five blocks' time
        late = s.read()
    assert not first.gap and late.gap and s.gaps >= 1


def test_trigger_on_a_card(zebsim):
    zebsim()
    r = kelmo.card(602).trigger(level=-1000, slope="falling", pre=20, samples=100, rate=10_000, channels=2,
                                trigger_channel=1)
    assert r.data.shape == (2, 100)
    assert r.data[1][19] >= -1000 > r.data[1][20]


def test_failures_carry_the_library_reason_and_text_and_stay_off_stderr(device_dir, capfd):
    # No device in the folder: the reason names the socket and what to start,
    # the library's own console line stays beside it.
    socket = device_dir / "ZEB1"
    with pytest.raises(kelmo.KelmoError) as e:
        kelmo.card(602).acquire(channels=2, samples=64, rate=10_000)
    assert str(e.value) == e.value.reason == (f"MulChSamEx failed: no acquisition device is served at {socket}; "
                                              "start zebsim or the driver service (KELMO_DEVICE_DIR names another folder)")
    assert e.value.text == "Failed to obtain file handle to device: ZEB1 with Win32 error code: 2"
    assert e.value.function == "MulChSamEx" and e.value.card_type == 602
    # A refused start is stopped (recover) before it is raised: the reason
    # of the start survives.
    with pytest.raises(kelmo.KelmoError) as e:
        kelmo.card(718).stream(channels=1, rate=10_000).start()
    assert e.value.reason.startswith(f"Set_dbl_MulChSamEx failed: no acquisition device is served at {socket};")
    # The same from a recording's thread, raised by wait().
    rec = kelmo.card(602).record(channels=2, rate=10_000, seconds=1)
    with pytest.raises(kelmo.KelmoError, match=f"Set_dbl_MulChSamEx failed: .* {socket}; start zebsim"):
        rec.wait()
    assert capfd.readouterr().err == ""
    with pytest.raises(ValueError, match="channel 2"):
        kelmo.card(602).acquire(channels=3, samples=64, rate=10_000)


@pytest.mark.parametrize("card_type", [602, 123])
def test_a_forked_child_leaving_the_with_leaves_the_parents_stream_running(zebsim, genwave, card_type):
    import os

    zebsim()
    card = kelmo.card(card_type)
    child = None
    try:
        with card.stream(channels=[0], rate=5_000, block=100) as s:
            before = [s.read() for _ in range(2)]
            child = os.fork()
            if child == 0:
                with pytest.raises(RuntimeError, match="belongs to it"):
                    s.read()  # the parent's to read, not this process's
            else:
                _, status = os.waitpid(child, 0)
                assert os.waitstatus_to_exitcode(status) == 0, "the child failed"
                after = [s.read() for _ in range(3)]
                x = np.concatenate([b.data[0] for b in before + after])
                assert x.shape == (500,) and s.gaps == 0
                if card_type == 602:  # the card's time base runs on without a break
                    assert np.abs(x - sine(0, 2500, 500)).max() <= 10000 / 65536
    except BaseException:
        if child == 0:
            os._exit(1)
        raise
    if child == 0:
        os._exit(0)  # the child left the with statement: nothing of the test beyond it is its own
