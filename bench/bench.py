#!/usr/bin/env python3
"""Times pixbake against the I/O floor (cp) and against ImageMagick.

Each case runs its commands in turn (A B C, A B C, ...) on warm files, after
one warm-up round, and reports the median wall time of each and the median of
the per-round ratios, so that a machine whose speed drifts still compares
fairly. Peak resident memory is the kernel's accounting of each command, as
GNU time reports it.

Usage: bench.py --pixbake PATH --inputs DIR --results FILE [--runs N]
"""

import argparse
import datetime
import glob
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

IMAGEMAGICK = "/usr/bin/convert"  # a directory earlier on PATH may hold another "convert"


def run(command, cwd):
    """Wall seconds and peak resident KiB of one run of a command.

    GNU time starts the command and reports its peak: a child forked straight
    from this Python process would count Python's own pages in its peak.
    """
    with tempfile.NamedTemporaryFile("r") as peak_file:
        start = time.perf_counter()
        child = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", peak_file.name] + command, cwd=cwd,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        if child.returncode != 0:
            sys.exit(f"bench: {' '.join(command)} failed ({child.returncode}): "
                     f"{child.stderr.decode(errors='replace').strip()}")
        return wall, int(peak_file.read().split()[-1])


def warm(paths):
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 20):
                pass


def compare(commands, runs, cwd):
    """commands: {name: argv}. Returns {name: (walls, peaks)} over `runs` rounds."""
    for argv in commands.values():  # warm-up round
        run(argv, cwd)
    results = {name: ([], []) for name in commands}
    for _ in range(runs):
        for name, argv in commands.items():
            wall, peak = run(argv, cwd)
            results[name][0].append(wall)
            results[name][1].append(peak)
    return results


def ratio(results, a, b):
    return statistics.median(x / y for x, y in zip(results[a][0], results[b][0]))


def machine():
    model = "unknown processor"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        memory = int(f.readline().split()[1]) / (1 << 20)
    compiler = subprocess.run(["g++", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    magick = subprocess.run([IMAGEMAGICK, "-version"], capture_output=True, text=True).stdout.splitlines()[0]
    return (f"{model}, {os.cpu_count()} cores, {memory:.0f} GiB, Linux {platform.release()}; "
            f"{compiler}; {magick.replace('Version: ', '')}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pixbake", required=True)
    parser.add_argument("--inputs", required=True)
    parser.add_argument("--results", required=True)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    pixbake = os.path.abspath(args.pixbake)
    inputs = os.path.abspath(args.inputs)
    scratch = tempfile.mkdtemp(prefix="pixbake-bench-", dir=inputs)
    try:
        sheet = os.path.join(inputs, "sheet.bmp")
        sprites = sorted(glob.glob(os.path.join(inputs, "sprites", "*.bmp")))
        formats = ["pal8", "rle8", "rgb16", "rgb24", "rgb32"]
        warm([sheet] + sprites + [os.path.join(inputs, "formats", f + ".bmp") for f in formats])
        rows = []

        # The sheet: pixbake, the copy that bounds it from below, and the tool a
        # user would otherwise reach for.
        sheet_pixels = 8192 * 8192
        result = compare({
            "pixbake": [pixbake, sheet],
            "cp": ["cp", sheet, os.path.join(scratch, "sheet-copy.bmp")],
            "imagemagick": [IMAGEMAGICK, sheet, "-define", "bmp:subtype=RGB565",
                            os.path.join(scratch, "sheet-565.bmp")],
        }, args.runs, inputs)
        sheet_wall = statistics.median(result["pixbake"][0])
        sheet_peak = max(result["pixbake"][1]) * 1024 / sheet_pixels
        rows.append(("8192 × 8192 sheet, 24-bit", result, "cp", "imagemagick"))

        # 2,000 sprites in one call, against one cp of the same files.
        copies = os.path.join(scratch, "sprites")
        os.mkdir(copies)
        sprite_result = compare({
            "pixbake": [pixbake] + sprites,
            "cp": ["cp"] + sprites + [copies],
        }, args.runs, inputs)
        rows.append(("2,000 sprites, one call", sprite_result, "cp", None))

        # Each source format of the same 2048 × 2048 picture, per pixel against 24-bit.
        format_result = compare({f: [pixbake, os.path.join(inputs, "formats", f + ".bmp")] for f in formats},
                                args.runs, inputs)

        sheet_vs_cp = ratio(result, "pixbake", "cp")
        sheet_vs_magick = ratio(result, "imagemagick", "pixbake")
        sprites_vs_cp = ratio(sprite_result, "pixbake", "cp")
        worst_format = max((ratio(format_result, f, "rgb24"), f) for f in formats if f != "rgb24")

        lines = [
            "# Benchmark results",
            "",
            f"Run on {datetime.date.today().isoformat()}: {machine()}.",
            f"Median of {args.runs} alternating runs on warm files, after one warm-up round; "
            "whole-process wall time; ratios are medians of the per-round ratios.",
            "",
            "| case | command | median wall s | peak RSS MiB |",
            "|---|---|---:|---:|",
        ]
        for title, res, _, _ in rows:
            for name, (walls, peaks) in res.items():
                lines.append(f"| {title} | {name} | {statistics.median(walls):.3f} | {max(peaks) / 1024:.1f} |")
        for f in formats:
            walls, peaks = format_result[f]
            lines.append(f"| 2048 × 2048, {f} | pixbake | {statistics.median(walls):.3f} | {max(peaks) / 1024:.1f} |")
        met = lambda ok: "met" if ok else "missed"
        lines += [
            "",
            "| target | figure | |",
            "|---|---:|---|",
            f"| sheet: pixbake ≤ 1.5 × cp | {sheet_vs_cp:.2f} × cp | {met(sheet_vs_cp <= 1.5)} |",
            f"| sheet: ≥ 5 × faster than ImageMagick | {sheet_vs_magick:.1f} × faster | {met(sheet_vs_magick >= 5)} |",
            f"| sheet: peak memory ≤ 6 bytes per pixel | {sheet_peak:.2f} bytes per pixel | {met(sheet_peak <= 6)} |",
            f"| 2,000 sprites ≤ 2 × cp | {sprites_vs_cp:.2f} × cp | {met(sprites_vs_cp <= 2)} |",
            f"| other formats ≤ 2 × the 24-bit time per pixel | {worst_format[0]:.2f} × ({worst_format[1]}) "
            f"| {met(worst_format[0] <= 2)} |",
            "",
            f"The 24-bit sheet converts in {sheet_wall * 1e9 / sheet_pixels:.2f} ns per pixel.",
        ]
        with open(args.results, "w") as f:
            f.write("\n".join(lines) + "\n")
        print("\n".join(lines))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        for tsa in glob.glob(os.path.join(inputs, "**", "*.tsa"), recursive=True):
            os.remove(tsa)


if __name__ == "__main__":
    main()
