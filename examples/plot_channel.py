#!/usr/bin/env python3
"""Acquires one channel of the simulated source and plots it: the waveform
above, its maximum-entropy spectrum below.

    python3 examples/plot_channel.py                  # a window
    python3 examples/plot_channel.py -c 3 -o ch3.png  # a PNG file, no display needed

genwave must be publishing (the library starts it itself when it finds it
beside the library or on PATH). Needs the kelmo package and matplotlib.
"""

import argparse
import sys

import numpy as np

import kelmo


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-t", "--type", type=int, default=123, help="card type (default 123, the simulated source)")
    ap.add_argument("-c", "--channel", type=int, default=0, help="channel, from 0 (default 0)")
    ap.add_argument("-r", "--rate", type=float, default=10_000, help="sampling rate in Hz (default 10000)")
    ap.add_argument("-n", "--samples", type=int, default=4096, help="samples (default 4096)")
    ap.add_argument("--order", type=int, default=40, help="order of the spectrum's fit (default 40)")
    ap.add_argument("-o", "--output", help="write the plot to this PNG file instead of showing it")
    args = ap.parse_args()

    import matplotlib
    if args.output:
        matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    try:
        r = kelmo.card(args.type).acquire(channels=[args.channel], samples=args.samples, rate=args.rate)
    except (kelmo.KelmoError, ValueError) as e:
        print(f"plot_channel: {e}", file=sys.stderr)
        return 1
    x = r.data[0]

    # The fit takes at most 1024 samples: the last ones.
    freqs = np.linspace(0, r.rate / 2, 1024)
    power = kelmo.mem_spectrum(x[-1024:], min(args.order, min(x.size, 1024) - 1), freqs, rate=r.rate)
    db = 10 * np.log10(np.maximum(power / power.max(), 1e-12))

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(10, 6.5), constrained_layout=True)
    top.plot(r.times() * 1000, x, lw=0.8)
    top.set(title=f"card type {args.type}, channel {args.channel}, {r.rate:g} Hz",
            xlabel="time (ms)", ylabel="value")
    top.grid(alpha=0.3)
    bottom.plot(freqs, db, lw=0.8)
    bottom.set(xlabel="frequency (Hz)", ylabel="dB below the peak", ylim=(-120, 5))
    bottom.grid(alpha=0.3)
    if args.output:
        fig.savefig(args.output, dpi=100)
        print(f"plot_channel: wrote {args.output}")
    else:
        plt.show()
    return 0


if __name__ == "__main__":
    sys.exit(main())
