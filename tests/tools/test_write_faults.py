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
import os
import shutil
import signal
import subprocess
import sys
import tempfile

import numpy as np

from genwaves import genwaves
from recordings import FORMATS, RATE_OF, Bad, check_file

RATE, SAMPLES, CHANNELS = 10_000, 20_000, 2
RUN = ["acquire", "-t", "123", "-r", "10k", "-n", "20k", "-c", "2"]
CAUSES = {"ENOSPC": "No space left on device", "EIO": "Input/output error"}


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
    # A source of its own (another program's genwave may run another
    # signal), stopped at the end.
    namespace = os.environ.setdefault("KELMO_SHM_NAMESPACE", f"kelmo-faults-{os.getpid()}")
    with tempfile.TemporaryDirectory(prefix="kelmo-faults-") as top:
        folder, reports = os.path.join(top, "out"), os.path.join(top, "reports")
        os.mkdir(folder)
        os.mkdir(reports)
        # genwave is started once, outside the faults, before the runs
        subprocess.run([o.kelmo, "acquire", "-n", "1k", "-c", "1"], capture_output=True, timeout=60)
        problems, runs = sweep(o.kelmo, o.shim, folder, reports, every, o.jobs)
        full, disks = small_disks(o.kelmo, reports)
    for pid in genwaves(namespace):
        try:
            os.kill(pid, signal.SIGTERM)
        except OSError:
            pass
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
