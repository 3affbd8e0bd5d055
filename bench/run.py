"""vashlet benchmarks against the queries users would otherwise write (DuckDB SQL, pandas).

Builds every input from a fixed seed, times vashlet and each installed peer (median of several
runs), checks that each peer finds exactly our matches before showing its time, and prints one
table per scenario. The peers are optional: pip install '.[bench]'.

    PYTHONPATH=python python bench/run.py [--quick] [--repeats N] [--only SCENARIO ...]
"""

import argparse
import os
import platform
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import peers  # noqa: E402
import scenarios  # noqa: E402


def cpu_model():
    try:
        listing = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return platform.processor() or "unknown CPU"
    for line in listing.splitlines():
        if line.startswith("Model name:"):
            return line.split(":", 1)[1].strip()
    return "unknown CPU"


def machine(loaded):
    versions = [f"Python {platform.python_version()}"]
    versions += [
        f"{name} {peer.VERSION}" for name, peer in loaded.items() if not isinstance(peer, str)
    ]
    return f"{cpu_model()}, {os.cpu_count()} cores; " + ", ".join(versions)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="inputs a tenth of the size")
    parser.add_argument("--repeats", type=int, help="timed runs per case (default 7, quick 3)")
    parser.add_argument(
        "--only", nargs="+", choices=list(scenarios.ALL), help="run only these scenarios"
    )
    options = parser.parse_args()
    sizes = scenarios.QUICK if options.quick else scenarios.FULL
    repeats = options.repeats or sizes.repeats
    loaded = peers.load()
    shared = scenarios.FunnelInput(sizes)

    print(f"# vashlet benchmarks ({'quick' if options.quick else 'full'}, median of {repeats})")
    print(machine(loaded))
    started = time.perf_counter()
    for name in options.only or list(scenarios.ALL):
        print()
        print(scenarios.ALL[name](shared, loaded, repeats).render(), flush=True)
    print(f"\n(total {time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
