#!/usr/bin/env python3
"""Whole-process comparison of the command line (2 threads) with the numpy
baseline on generated dense non-negative matrices: median wall time over
repetitions and peak resident memory of each process.

    bench/compare_numpy.py BUILD_BIN_DIR [--reps N]
"""
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(command):
    start = time.monotonic()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    if status != 0:
        raise SystemExit(f"failed: {command}")
    return time.monotonic() - start, usage.ru_maxrss / 1024


def main():
    bin_dir = sys.argv[1]
    reps = int(sys.argv[sys.argv.index("--reps") + 1]) if "--reps" in sys.argv else 5
    print(f"{'shape':>10} {'infodiv s':>10} {'numpy s':>9} {'ratio':>7} {'infodiv MB':>11} {'numpy MB':>9}")
    with tempfile.TemporaryDirectory() as work:
        for columns, rows in [(40, 1000), (80, 1000)]:
            path = os.path.join(work, f"m{columns}.csv")
            rng = random.Random(columns)
            with open(path, "w") as f:
                for _ in range(rows):
                    f.write(",".join(str(rng.randint(1, 100)) for _ in range(columns)) + "\n")
            ours = [run([os.path.join(bin_dir, "infodiv"), path, "--out-dir", work, "-j", "2", "--quiet"])
                    for _ in range(reps)]
            theirs = [run(["/usr/bin/python3", os.path.join(HERE, "numpy_baseline.py"), path, work])
                      for _ in range(reps)]
            a = statistics.median(t for t, _ in ours)
            b = statistics.median(t for t, _ in theirs)
            print(f"{columns:>4} x {rows:<4} {a:>10.3f} {b:>9.3f} {b / a:>6.1f}x "
                  f"{max(m for _, m in ours):>11.1f} {max(m for _, m in theirs):>9.1f}")


if __name__ == "__main__":
    main()
