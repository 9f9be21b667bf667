#!/usr/bin/python3
"""Every format complete after any end its writer sees: kelmo acquire -o F
runs with the Nth write, flush, seek, truncate or close on F's files
failing (write_faults.so, LD_PRELOAD), for N = 1, 2, 3 ... and two kinds of
fault: one call that fails with EIO ("once"), and a disk that fills at the
Nth write ("full": what would make a file longer fails with ENOSPC from
there on, the first such write writes half). After every run that met its
fault:

  - the exit status is 1 and standard error names the file (or the .json
    beside a .npy) and the cause in the system's words, or the fault did no
    harm (the writer tried again) and the run is complete: exit 0, every
    sample;
  - the file opens in its own reader (numpy.loadtxt, numpy.load, soundfile,
    h5py, sigrok-cli) and holds a whole-sample prefix of the run: channel 0
    of the simulated source is a 50 Hz cosine of 3000 from the first sample,
    the other channel as long, no more samples than the run acquired, and
    the file no longer than what it says it holds; or, when the fault came
    while the writer opened the file, there is no file at all.

Where a small file system can be mounted (root), each format also fills a
1 MiB tmpfs for real.

    test_write_faults.py --kelmo KELMO --shim write_faults.so [--all]

The quick form (the default, for the test suite) takes N = 1 .. 6 and some
spread over the rest; --all (or KELMO_WRITE_FAULTS=all) takes every N until
a run meets no fault. The last line counts runs, faults injected, files
checked and problems; the exit status is 1 when any problem was found.
"""

import argparse
import concurrent.futures
import io
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

import numpy as np

FORMATS = ["csv", "npy", "wav", "flac", "h5", "sr"]
RATE, SAMPLES, CHANNELS = 10_000, 20_000, 2
RUN = ["acquire", "-t", "123", "-r", "10k", "-n", "20k", "-c", "2"]
CAUSES = {"ENOSPC": "No space left on device", "EIO": "Input/output error"}
# How far each format's values may be from the cosine (in the card's units):
# printed to 6 decimals, float32 of a 5000 full scale, 24 bits of it.
TOLERANCE = {"csv": 2e-6, "npy": 1e-6, "h5": 1e-6, "wav": 1e-3, "sr": 1e-3, "flac": 2e-3}


def cosine(n, rate):
    return 3000.0 * np.cos(2 * np.pi * 50.0 * np.arange(n) / rate)


class Bad(Exception):
    pass


def read_csv(path):
    raw = open(path, "rb").read()
    if raw and not raw.endswith(b"\n"):
        raise Bad(f"ends in part of a line: {raw[-60:]!r}")
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


def read_h5(path):
    import h5py
    with h5py.File(path, "r") as f:
        return f["run/samples"][:]


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


def check_file(path, fmt, rate, channels, most, said):
    """The samples the file holds (channels x n), checked; Bad when not."""
    data = (read_csv(path) if fmt == "csv" else read_npy(path, said) if fmt == "npy"
            else read_audio(path, fmt) if fmt in ("wav", "flac") else read_h5(path) if fmt == "h5" else read_sr(path))
    if data.shape[0] != channels:
        raise Bad(f"{data.shape[0]} channels")
    n = data.shape[1]
    if n > most:
        raise Bad(f"{n} samples, more than the {most} acquired")
    if n and np.abs(data[0] - cosine(n, rate)).max() > TOLERANCE[fmt]:
        first = int(np.argmax(np.abs(data[0] - cosine(n, rate)) > TOLERANCE[fmt]))
        raise Bad(f"sample {first} of channel 0 is {data[0][first]}, the signal there {cosine(n, rate)[first]}")
    return n


def run(kelmo, shim, folder, fmt, at, mode, error, reports, args=RUN, rate=RATE, total=SAMPLES, channels=CHANNELS):
    """One run with its fault; (problem or None, facts of the run)."""
    path = os.path.join(folder, f"{mode}-{error}-{at}.{fmt}")
    RATE_OF[path] = rate
    report = os.path.join(reports, os.path.basename(path) + ".report")
    env = dict(os.environ, LD_PRELOAD=shim, KELMO_FAULT_DIR=folder + "/", KELMO_FAULT_AT=str(at), KELMO_FAULT_MODE=mode,
               KELMO_FAULT_ERRNO=error, KELMO_FAULT_REPORT=report)
    if shim is None:
        env = dict(os.environ)
    try:
        done = subprocess.run([kelmo] + args + ["-o", path], env=env, capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return f"{path}: the run did not end within 60 s", {}
    facts = {}
    if shim is not None:
        facts = dict(kv.split("=") for kv in open(report).read().split())
        facts = {k: int(v) for k, v in facts.items()}
    facts["code"] = done.returncode
    said = done.stderr
    name = f"{fmt} {mode} {error} N={at}"
    injected = facts.get("injected", 1)
    if done.returncode not in (0, 1):
        return f"{name}: exit {done.returncode}: {said.strip()}", facts
    if done.returncode == 1:
        if not injected:
            return f"{name}: exit 1 without a fault: {said.strip()}", facts
        named = [p for p in (path, os.path.splitext(path)[0] + ".json") if p in said]
        if not named or CAUSES[error] not in said:
            return f"{name}: standard error does not name the file and the cause ({CAUSES[error]}): {said.strip()!r}", facts
    elif said.strip():
        return f"{name}: exit 0, and standard error says {said.strip()!r}", facts
    opening = facts.get("open_writes" if mode == "full" else "open_calls", 0)
    if not os.path.exists(path):
        # (A FLAC file without a frame does not open: it is removed.)
        removed = fmt == "flac" and f"{path} is removed: it holds no FLAC frame" in said
        if done.returncode == 0 or (at > opening and not removed):
            return f"{name}: no file, though the fault came after the file was opened", facts
        facts["absent"] = 1
        return None, facts
    try:
        n = check_file(path, fmt, rate, channels, total, said)
    except Bad as e:
        return f"{name}: {e} ({said.strip()})", facts
    except Exception as e:  # the reader refused it
        return f"{name}: its reader does not open it: {type(e).__name__}: {e} ({said.strip()})", facts
    facts["checked"], facts["samples"] = 1, n
    if done.returncode == 0 and n != total:
        return f"{name}: exit 0 with {n} of {total} samples", facts
    return None, facts


def sweep(kelmo, shim, folder, reports, every, jobs):
    problems, runs = [], []
    count = {fmt: run(kelmo, shim, folder, fmt, 0, "once", "EIO", reports) for fmt in FORMATS}
    for fmt, (problem, facts) in count.items():
        runs.append(facts)
        if problem:
            problems.append(problem)
    plans = []
    for fmt in FORMATS:
        facts = count[fmt][1]
        for mode, error, key in (("once", "EIO", "calls"), ("full", "ENOSPC", "writes")):
            last = facts.get(key, 0)
            if every:
                plans.append((fmt, mode, error, None))
            else:
                spread = {1, 2, 3, 4, 5, 6} | {int(round(x)) for x in np.linspace(7, last, 8)} if last >= 7 else set()
                for at in sorted(a for a in spread | set(range(1, min(last, 6) + 1)) if 1 <= a <= last):
                    plans.append((fmt, mode, error, at))
    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        def one(plan):
            fmt, mode, error, at = plan
            if at is not None:
                return [run(kelmo, shim, folder, fmt, at, mode, error, reports)]
            out = []
            for n in range(1, 100000):  # until a run meets no fault
                problem, facts = run(kelmo, shim, folder, fmt, n, mode, error, reports)
                out.append((problem, facts))
                if not facts.get("injected", 1):
                    break
            return out
        for results in pool.map(one, plans):
            for problem, facts in results:
                runs.append(facts)
                if problem:
                    problems.append(problem)
    return problems, runs


def small_disks(kelmo, reports):
    """Each format into a 1 MiB tmpfs: a real full disk (8 channels at 100 kHz
    fill it within the first second, FLAC too). None where none can be
    mounted."""
    problems, runs = [], []
    for fmt in FORMATS:
        disk = tempfile.mkdtemp(prefix="kelmo-full-")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", disk], capture_output=True).returncode != 0:
            os.rmdir(disk)
            return None, []
        try:
            args = ["acquire", "-t", "123", "-r", "100k", "--time", "3s", "-c", "8"]
            problem, facts = run(kelmo, None, disk, fmt, 0, "disk", "ENOSPC", reports, args=args, rate=100_000,
                                 total=300_000, channels=8)
            if facts.get("code") != 1 and not problem:
                problem = f"{fmt} on a 1 MiB disk: exit {facts.get('code')}, not 1"
            facts["injected"] = 1
            runs.append(facts)
            if problem:
                problems.append(problem.replace(" disk ENOSPC N=0", " on a 1 MiB disk"))
        finally:
            subprocess.run(["umount", disk], capture_output=True)
            shutil.rmtree(disk, ignore_errors=True)
    return problems, runs


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--kelmo", required=True)
    p.add_argument("--shim", required=True)
    p.add_argument("--all", action="store_true", help="every N, until a run meets no fault")
    p.add_argument("--jobs", type=int, default=8, help="runs at once (each is mostly waiting for its source)")
    o = p.parse_args()
    every = o.all or os.environ.get("KELMO_WRITE_FAULTS") == "all"
    with tempfile.TemporaryDirectory(prefix="kelmo-faults-") as top:
        folder, reports = os.path.join(top, "out"), os.path.join(top, "reports")
        os.mkdir(folder)
        os.mkdir(reports)
        # genwave is started once, outside the faults, before the runs
        subprocess.run([o.kelmo, "acquire", "-n", "1k", "-c", "1"], capture_output=True, timeout=60)
        problems, runs = sweep(o.kelmo, o.shim, folder, reports, every, o.jobs)
        full, disks = small_disks(o.kelmo, reports)
    for line in problems + (full or []):
        print("problem:", line)
    if full is None:
        print("no tmpfs could be mounted (the test is not root): the runs on a full 1 MiB disk are skipped")
    all_runs = runs + disks
    print(f"write faults ({'every N' if every else 'quick'}): {len(all_runs)} runs, "
          f"{sum(r.get('injected', 0) for r in all_runs)} faults injected, "
          f"{sum(r.get('checked', 0) for r in all_runs)} files checked, {sum(r.get('absent', 0) for r in all_runs)} "
          f"not made (the fault came while opening), {len(disks)} runs on a full disk, "
          f"{len(problems) + len(full or [])} problems")
    return 1 if problems or full else 0


if __name__ == "__main__":
    sys.exit(main())
