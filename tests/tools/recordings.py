"""What kelmo's recordings hold, read by each format's own reader (numpy,
soundfile, h5py, sigrok-cli) and checked against the simulated source's
first channel: a 50 Hz cosine of 3000 from the first sample. Shared by the
sweeps of write faults and of kills."""

import io
import json
import os
import re
import struct
import subprocess
import zipfile

import numpy as np

FORMATS = ["csv", "npy", "wav", "flac", "h5", "sr"]
# How far each format's values may be from the cosine (in the card's units):
# printed to 6 decimals, float32 of a 5000 full scale, 24 bits of it.
TOLERANCE = {"csv": 2e-6, "npy": 1e-6, "h5": 1e-6, "wav": 1e-3, "sr": 1e-3, "flac": 2e-3}


def cosine(n, rate):
    return 3000.0 * np.cos(2 * np.pi * 50.0 * np.arange(n) / rate)


class Bad(Exception):
    pass


def read_csv(path, killed=False):
    """A run killed within a write may leave part of its last row: that is
    passed over, as a reader would."""
    raw = open(path, "rb").read()
    if raw and not raw.endswith(b"\n"):
        if not killed:
            raise Bad(f"ends in part of a line: {raw[-60:]!r}")
        raw = raw[:raw.rfind(b"\n") + 1]
    lines = raw.decode().split("\n")[:-1]
    facts = 0
    while facts < len(lines) and lines[facts].startswith("# "):
        facts += 1
    rest = lines[facts:]
    if not rest:
        raise Bad("holds no header line")
    if not re.fullmatch(r"time_s(,ch\d+)+", rest[0]):
        raise Bad(f"header line {rest[0]!r}")
    columns = rest[0].count(",") + 1
    data = np.loadtxt(io.StringIO("\n".join(rest[1:])), delimiter=",", ndmin=2) if rest[1:] else np.zeros((0, columns))
    if data.shape[1] != columns:
        raise Bad(f"{data.shape[1]} columns under a header of {columns}")
    times = data[:, 0]
    if len(times) and np.abs(times - np.arange(len(times)) / RATE_OF[path]).max() > 1e-9:
        raise Bad("the time column does not count the samples")
    return data[:, 1:].T


def read_npy(path, said):
    a = np.load(path)
    size = os.path.getsize(path)
    if a.dtype != np.float64 or a.ndim != 2:
        raise Bad(f"array {a.dtype} {a.shape}")
    if size != 128 + a.size * 8:
        raise Bad(f"{size} bytes, and the header counts {a.shape[1]} samples ({128 + a.size * 8} bytes)")
    facts = os.path.splitext(path)[0] + ".json"
    if os.path.exists(facts):
        j = json.load(open(facts))
        if j["shape"][0] != a.shape[0] or j["shape"][1] > a.shape[1]:
            raise Bad(f".json says {j['shape']}, the array is {list(a.shape)}")
        if (j["complete"] or "failure" in j) and j["shape"] != list(a.shape):
            raise Bad(f".json says {j['shape']} (complete {j['complete']}), the array is {list(a.shape)}")
        if not isinstance(j["rate"], (int, float)) or j["rate unit"] != "Hz":
            raise Bad(f".json's rate {j['rate']!r} {j.get('rate unit')!r}")
    elif facts not in said:
        raise Bad("no .json beside it, and nothing said why")
    return a


def riff_data_bytes(path):
    raw = open(path, "rb").read()
    if raw[:4] != b"RIFF" or struct.unpack("<I", raw[4:8])[0] != len(raw) - 8:
        raise Bad(f"RIFF size {struct.unpack('<I', raw[4:8])[0]} in a file of {len(raw)} bytes")
    at = 12
    while at + 8 <= len(raw):
        cid, n = raw[at:at + 4], struct.unpack("<I", raw[at + 4:at + 8])[0]
        if cid == b"data":
            if at + 8 + n != len(raw):
                raise Bad(f"data chunk of {n} bytes in a file of {len(raw)} (it starts at {at + 8})")
            return n
        at += 8 + n + (n & 1)
    raise Bad("no data chunk")


def read_audio(path, fmt):
    import soundfile
    with soundfile.SoundFile(path) as f:
        d = f.read(always_2d=True)
        frames = f.frames
    if d.shape[0] != frames:
        raise Bad(f"soundfile counts {frames} frames and reads {d.shape[0]}")
    if fmt == "wav" and riff_data_bytes(path) != d.size * 4:
        raise Bad(f"data chunk of {riff_data_bytes(path)} bytes for {d.shape[0]} frames")
    return d.T * 5000.0


def read_h5(path, killed=False):
    """A file whose writer was killed is still marked as being written: it
    opens as one that grows (swmr=True), and as any other once h5clear
    has taken the mark off."""
    import h5py
    with h5py.File(path, "r", swmr=killed) as f:
        data = f["run/samples"][:]
    if killed:
        cleared = subprocess.run(["h5clear", "-s", path], capture_output=True, text=True)
        if cleared.returncode != 0:
            raise Bad(f"h5clear -s: {cleared.stderr.strip()}")
        with h5py.File(path, "r") as f:
            if f["run/samples"].shape != data.shape:
                raise Bad(f"{f['run/samples'].shape} after h5clear, {data.shape} before")
    return data


def read_sr(path):
    shown = subprocess.run(["sigrok-cli", "-i", path, "--show"], capture_output=True, text=True, timeout=60)
    if shown.returncode != 0 or "\nChannels: " not in shown.stdout:
        raise Bad(f"sigrok-cli does not open it: {shown.stderr.strip() or shown.stdout.strip()}")
    m = re.search(r"Analog sample count: (\d+)", shown.stdout)  # none: no samples
    with zipfile.ZipFile(path) as z:
        chunks = {}
        for name in z.namelist():
            k = re.fullmatch(r"analog-1-(\d+)-(\d+)", name)
            if k:
                chunks.setdefault(int(k[1]), {})[int(k[2])] = np.frombuffer(z.read(name), "<f4")
    rows = [np.concatenate([c[i] for i in sorted(c)]) if c else np.zeros(0, "<f4") for _, c in sorted(chunks.items())]
    if not rows or len({len(r) for r in rows}) != 1:
        raise Bad(f"channels of {[len(r) for r in rows]} samples")
    if len(rows[0]) != (int(m[1]) if m else 0):
        raise Bad(f"sigrok-cli counts {m[1] if m else 0} samples, the entries hold {len(rows[0])}")
    return np.array(rows, dtype=np.float64)


RATE_OF = {}


def check_file(path, fmt, rate, channels, most, said, killed=False):
    """The samples the file holds (channels x n), checked; Bad when not."""
    data = (read_csv(path, killed) if fmt == "csv" else read_npy(path, said) if fmt == "npy"
            else read_audio(path, fmt) if fmt in ("wav", "flac") else read_h5(path, killed) if fmt == "h5"
            else read_sr(path))
    if data.shape[0] != channels:
        raise Bad(f"{data.shape[0]} channels")
    n = data.shape[1]
    if n > most:
        raise Bad(f"{n} samples, more than the {most} acquired")
    if n and np.abs(data[0] - cosine(n, rate)).max() > TOLERANCE[fmt]:
        first = int(np.argmax(np.abs(data[0] - cosine(n, rate)) > TOLERANCE[fmt]))
        raise Bad(f"sample {first} of channel 0 is {data[0][first]}, the signal there {cosine(n, rate)[first]}")
    return n
