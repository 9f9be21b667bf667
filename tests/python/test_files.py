"""Recordings into files from Python: the same files as kelmo acquire -o
writes, read back with their own readers."""

import json
import os
import subprocess

import numpy as np
import pytest

h5py = pytest.importorskip("h5py")


def _tool():
    path = os.environ.get("KELMO_TOOL")
    if not path or not os.access(path, os.X_OK):
        pytest.skip("KELMO_TOOL does not name the kelmo program")
    return path


def _attrs(group):
    return {k: (list(v) if isinstance(v, np.ndarray) else v) for k, v in group.attrs.items() if k != "start"}


def test_a_recording_into_hdf5_is_the_file_the_tool_writes(sim, tmp_path):
    ours = tmp_path / "ours.h5"
    assert sim.record(ours, channels=[0, 5], rate=10_000, seconds=0.3, block=1000).wait() == str(ours)
    tools = tmp_path / "tool.h5"
    subprocess.run([_tool(), "acquire", "-r", "10k", "-n", "3000", "-C", "0,5", "-o", str(tools)], check=True,
                   capture_output=True)
    with h5py.File(ours) as a, h5py.File(tools) as b:
        # The same facts (but the moment each run began), the same samples
        # and the same published parameters.
        assert _attrs(a["run"]) == _attrs(b["run"])
        assert a["run/samples"].dtype == np.float64 and a["run/samples"].shape == (2, 3000)
        assert np.abs(a["run/samples"][:] - b["run/samples"][:]).max() < 1e-6  # blocks cut elsewhere
        assert dict(a["run/parameters"].attrs) == dict(b["run/parameters"].attrs)
        assert a["run"].attrs["start"][:2] == "20"


def test_a_raw_stream_records_words_that_give_back_its_values(sim, tmp_path):
    with sim.stream([0, 1], rate=10_000, block=500, raw=True) as s:
        s.record(tmp_path / "raw.npy")
        words = np.concatenate([b.data for _, b in zip(range(4), s)], axis=1)
    a = np.load(tmp_path / "raw.npy")
    facts = json.loads((tmp_path / "raw.json").read_text())
    assert a.shape == (2, 2000) and facts["dtype"] == str(a.dtype) and (a == words).all()
    recovered = a * facts["raw scale"] + facts["raw offset"]
    assert np.abs(recovered - sim.convert(words)).max() <= 1e-9 * 5000  # the library's own conversion
    assert facts["parameters"][0].startswith("entry  0  cosine")


def test_a_failed_write_is_an_error_with_the_cause_and_the_file_keeps_what_came(sim, tmp_path):
    import kelmo

    with pytest.raises(kelmo.KelmoError, match="No space left on device"):
        with sim.stream(1, rate=10_000, block=1000) as s:
            s.record("/dev/full", format="csv")
            for _ in s:
                pass
    with pytest.raises(kelmo.KelmoError, match="no writer knows the extension"):
        sim.record(tmp_path / "a.xyz", channels=1, rate=1000, seconds=0.1).wait()
    with pytest.raises(kelmo.KelmoError, match="cannot write"):
        sim.record(tmp_path / "no" / "such" / "a.csv", channels=1, rate=1000, seconds=0.1).wait()
    # A stream stopped early (its with statement ends) leaves a complete file.
    with sim.stream(2, rate=10_000, block=250) as s:
        s.record(tmp_path / "short.h5")
        next(iter(s))
    with h5py.File(tmp_path / "short.h5") as f:
        assert f["run/samples"].shape == (2, 250)


@pytest.mark.parametrize("ext", ["flac", "sr"])
def test_flac_and_sigrok_files_from_python_hold_what_the_tools_hold(sim, tmp_path, ext):
    ours, tools = tmp_path / f"ours.{ext}", tmp_path / f"tool.{ext}"
    sim.record(ours, channels=[0, 5], rate=10_000, seconds=0.3, block=1000).wait()
    subprocess.run([_tool(), "acquire", "-r", "10k", "-n", "3000", "-C", "0,5", "-o", str(tools)], check=True,
                   capture_output=True)
    if ext == "flac":
        import soundfile
        a, rate_a = soundfile.read(ours, dtype="int32")
        b, rate_b = soundfile.read(tools, dtype="int32")
        assert rate_a == rate_b == 10_000 and a.shape == b.shape == (3000, 2)
        assert np.abs(a.astype(np.int64) - b).max() <= 256  # one 24-bit step, in the 32-bit words soundfile gives
        with soundfile.SoundFile(ours) as f:
            assert f.comment.startswith("card type: 123; rate: 10000 Hz; channels: 0,5")
    else:
        import zipfile
        with zipfile.ZipFile(ours) as a, zipfile.ZipFile(tools) as b:
            assert a.read("metadata") == b.read("metadata")
            names = sorted(n for n in a.namelist() if n.startswith("analog-"))
            assert names == sorted(n for n in b.namelist() if n.startswith("analog-"))
            for n in names:
                x, y = np.frombuffer(a.read(n), "<f4"), np.frombuffer(b.read(n), "<f4")
                assert x.shape == y.shape and (x.size == 0 or np.abs(x - y).max() < 1e-3)


def test_writers_failing_side_by_side_each_give_their_own_reason(tmp_path):
    import kelmo
    from kelmo.files import FileWriter

    writers = {}
    for name in ("a.csv", "b.csv"):
        # A pipe whose reader goes away once the file's first lines are in it.
        r, w = os.pipe()
        (tmp_path / name).symlink_to(f"/proc/self/fd/{w}")
        writers[name] = FileWriter(tmp_path / name, rate=1000, channels=[0], card_type=602, full_scale=5000)
        os.close(r)
        os.close(w)
    block = np.zeros((1, 5000))
    for w in writers.values():
        w.write(block)  # queued; the writer's thread fails on it
    for name, w in writers.items():
        with pytest.raises(kelmo.KelmoError) as failed:
            w.close()
        other = "b.csv" if name == "a.csv" else "a.csv"
        assert "Broken pipe" in str(failed.value) and name in str(failed.value)
        assert other not in str(failed.value)


@pytest.mark.parametrize("path, format, why", [
    ("run.csv", "hdf5", "format 'hdf5': no writer writes it; give one of csv, wav, flac, npy, h5, sr"),
    ("run.csv", "H5", "format 'H5'"),
    ("run.csv", "mp3", "format 'mp3'"),
    ("run\0.h5", None, "cannot hold a NUL byte"),
])
def test_a_format_or_path_the_writers_cannot_take_is_refused_before_anything_is_written(sim, tmp_path, path,
                                                                                        format, why):
    from kelmo.files import formats

    assert formats() == ("csv", "wav", "flac", "npy", "h5", "sr")  # the tool's table, asked
    with pytest.raises(ValueError, match=why.replace("(", r"\(")):
        sim.record(tmp_path / path, channels=1, rate=1000, seconds=0.1, format=format)
    with sim.stream(1, rate=1000, block=100) as s:
        with pytest.raises(ValueError, match=why.replace("(", r"\(")):
            s.record(tmp_path / path, format=format)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("ext", ["h5", "npy"])
def test_a_recording_is_followed_as_it_grows_to_its_last_sample(sim, tmp_path, ext):
    import signal
    import time

    from kelmo import files

    path = tmp_path / f"live.{ext}"
    tool = subprocess.Popen([_tool(), "acquire", "-r", "10k", "-C", "0,5", "--continuous", "-o", str(path)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        follower = files.follow(path, idle=1.5, poll=0.05)
        pieces, when = [], []
        for got in follower:  # (the file is not there yet as it begins)
            pieces.append(got)
            when.append(time.monotonic())
            if len(pieces) == 4:
                tool.send_signal(signal.SIGINT)
    finally:
        if tool.poll() is None:
            tool.kill()
    assert tool.wait(10) == 130, tool.stderr.read()
    assert len(pieces) >= 4 and when[3] - when[0] > 0.1  # item by item as it grew, not at its end
    assert follower.rate == 10_000.0 and follower.channels == (0, 5)
    x = np.concatenate(pieces, axis=1)
    if ext == "h5":
        with h5py.File(path) as f:
            whole = f["run/samples"][:]
    else:
        whole = np.load(path)
    assert x.shape == whole.shape and follower.samples == whole.shape[1] and np.array_equal(x, whole)
    assert np.abs(x[0] - 3000 * np.cos(2 * np.pi * 50 * np.arange(x.shape[1]) / 10_000)).max() < 1e-6


def test_only_recordings_that_grow_in_place_are_followed(tmp_path):
    from kelmo import files

    with pytest.raises(ValueError, match="only .h5 and .npy"):
        files.follow(tmp_path / "run.wav")
    assert list(files.follow(tmp_path / "absent.h5", idle=0.3, poll=0.05)) == []
    # A pipe under the name would hold the open for ever.
    fifo = tmp_path / "pipe.npy"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="not a regular file"):
        list(files.follow(fifo, idle=0.3, poll=0.05))
