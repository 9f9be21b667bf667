#!/usr/bin/python3
"""Every format opens after any end of its run: kelmo acquire --continuous
-o F is killed (SIGKILL) at moments spread over its first seconds, and
ended by SIGINT, SIGTERM and SIGHUP. After each:

  - SIGKILL: the file opens in its own reader and holds a whole-sample
    prefix of the run (channel 0 of the simulated source is a 50 Hz cosine
    of 3000 from the first sample, the other channel as long), and 2.5 s
    into the run at least one block; or, killed before the file had a
    sample, no file or one its reader takes as empty (a FLAC file with no
    frame yet does not open: that is the one exception, said in the docs).
    An HDF5 file is still marked as being written: it opens with swmr=True,
    and as any other after h5clear -s;
  - SIGINT, SIGTERM, SIGHUP: exit 128 + the signal, the summary on standard
    output counts the samples, and the file holds exactly that many.

    test_kills.py --kelmo KELMO [--all]

The quick form (the default, for the test suite) kills each format at 4
moments; --all (or KELMO_KILLS=all) at 16. The last line counts runs,
kills, files checked and problems; the exit status is 1 when any problem
was found.
"""

import argparse
import concurrent.futures
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

import numpy as np

from genwaves import genwaves
from recordings import FORMATS, RATE_OF, Bad, check_file

RATE, CHANNELS = 20_000, 2
SOME = 2.5  # seconds into a run by which every format holds samples (.sr: its first chunk, a second of them)
RUN = ["acquire", "-t", "123", "-r", "20k", "--continuous", "-c", str(CHANNELS)]


def empty_or_absent(path, fmt):
    """Killed before its first sample: no file, or (FLAC) a header alone."""
    if not os.path.exists(path):
        return True
    return fmt == "flac" and os.path.getsize(path) < 8192


def killed(kelmo, folder, fmt, after, problems, facts):
    path = os.path.join(folder, f"kill-{after:.3f}.{fmt}")
    RATE_OF[path] = RATE
    p = subprocess.Popen([kelmo] + RUN + ["-o", path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(after)
    p.kill()
    p.communicate(timeout=30)
    facts["kills"] += 1
    name = f"{fmt} killed after {after:.3f} s"
    try:
        n = check_file(path, fmt, RATE, CHANNELS, 10**12, "", killed=True) if os.path.exists(path) else None
    except Bad as e:
        problems.append(f"{name}: {e}")
        return
    except Exception as e:  # its reader refused it
        if empty_or_absent(path, fmt):
            n = None
        else:
            problems.append(f"{name}: its reader does not open it ({os.path.getsize(path)} bytes): "
                            f"{type(e).__name__}: {e}")
            return
    if n is None:
        if after >= SOME:
            problems.append(f"{name}: no file")
        return
    facts["checked"] += 1
    if after >= SOME and n == 0:
        problems.append(f"{name}: no samples in the file")


def ended(kelmo, folder, fmt, sig, problems, facts):
    path = os.path.join(folder, f"{sig.name}.{fmt}")
    RATE_OF[path] = RATE
    p = subprocess.Popen([kelmo] + RUN + ["-o", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(1.2)
    p.send_signal(sig)
    try:
        out, err = p.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        p.kill()
        problems.append(f"{fmt} after {sig.name}: the run did not end within 30 s")
        return
    name = f"{fmt} after {sig.name}"
    if p.returncode != 128 + sig:
        problems.append(f"{name}: exit {p.returncode}, not {128 + sig}: {err.strip()}")
        return
    m = re.search(r" Hz, (\d+)", out)
    if not m:
        problems.append(f"{name}: no summary counts the samples: {out.strip()!r}")
        return
    counted = int(m[1])
    try:
        n = check_file(path, fmt, RATE, CHANNELS, counted, err)
    except Exception as e:
        problems.append(f"{name}: {type(e).__name__}: {e}")
        return
    facts["checked"] += 1
    if n != counted:
        problems.append(f"{name}: the file holds {n} samples, the summary counts {counted}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--kelmo", required=True)
    p.add_argument("--all", action="store_true", help="16 kill moments per format, not 4")
    p.add_argument("--jobs", type=int, default=4, help="runs at once (each is mostly waiting for its source)")
    o = p.parse_args()
    every = o.all or os.environ.get("KELMO_KILLS") == "all"
    moments = np.linspace(0.05, 3.0, 16 if every else 4)
    problems, facts = [], {"runs": 0, "kills": 0, "checked": 0}
    # A source of its own, stopped at the end.
    namespace = os.environ.setdefault("KELMO_SHM_NAMESPACE", f"kelmo-kills-{os.getpid()}")
    with tempfile.TemporaryDirectory(prefix="kelmo-kills-") as top:
        # genwave is started once, before the runs
        subprocess.run([o.kelmo, "acquire", "-n", "1k", "-c", "1"], capture_output=True, timeout=60)
        plans = [(fmt, float(at), None) for fmt in FORMATS for at in moments]
        plans += [(fmt, 0.0, sig) for fmt in FORMATS for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)]

        def one(plan):
            fmt, at, sig = plan
            folder = tempfile.mkdtemp(dir=top)
            found = []
            if sig is None:
                killed(o.kelmo, folder, fmt, at, found, facts)
            else:
                ended(o.kelmo, folder, fmt, sig, found, facts)
            return found

        with concurrent.futures.ThreadPoolExecutor(o.jobs) as pool:
            for found in pool.map(one, plans):
                facts["runs"] += 1
                problems += found
    for pid in genwaves(namespace):
        os.kill(pid, signal.SIGTERM)
    for line in problems:
        print("problem:", line)
    print(f"kills ({'16' if every else '4'} moments per format): {facts['runs']} runs, {facts['kills']} killed, "
          f"{facts['runs'] - facts['kills']} ended by a signal, {facts['checked']} files checked, "
          f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
