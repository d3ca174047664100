"""Where a benchmark's figures go.

Every table in bench/RESULTS.md is written by the script that measured it,
between two markers that name the script, under a line that says how, when
and on what it was measured; `make bench` reruns every script and so
rewrites every table. Prose outside the markers is kept as it is.
"""

import argparse
import datetime
import os
import pathlib
import platform
import subprocess
import sys

RESULTS = pathlib.Path(__file__).resolve().parent / "RESULTS.md"


def _commit():
    try:
        out = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                             cwd=RESULTS.parent, timeout=10)
        dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, cwd=RESULTS.parent, timeout=10)
        return out.stdout.strip() + ("+changes" if dirty.stdout.strip() else "") or "unknown"
    except (OSError, subprocess.SubprocessError):
        return "unknown"


def _cpu():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def stamp(script, extra=""):
    """One line: the command that made a table, the date, commit and machine."""
    try:
        import tensorflow as tf
        stack = "TensorFlow {}".format(tf.__version__)
    except ImportError:
        stack = "no TensorFlow"
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    line = "Measured by `python bench/{}` on {} (commit {}): Python {}, {}, {}, {} CPUs, load {:.1f} at the start.".format(
        pathlib.Path(script).name, datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        _commit(), platform.python_version(), stack, _cpu(), os.cpu_count(), load)
    return line + (" " + extra if extra else "")


def publish(script, markdown, results=RESULTS):
    """Put ``markdown`` (the script's tables) into RESULTS.md between the
    script's markers, replacing what was there, or append it; also print it."""
    name = "bench/" + pathlib.Path(script).name
    begin, end = "<!-- begin {} -->".format(name), "<!-- end {} -->".format(name)
    block = "{}\n{}\n{}".format(begin, markdown.strip(), end)
    text = results.read_text() if results.exists() else "# Benchmark results\n"
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        text = head + block + rest.split(end, 1)[1]
    else:
        text = text.rstrip("\n") + "\n\n" + block + "\n"
    results.write_text(text)
    print(markdown.strip(), flush=True)
    sys.stdout.flush()


def parser(doc):
    """The command line of a bench script: its first doc line, and --quick
    (a short smoke run whose tables are printed, not written)."""
    p = argparse.ArgumentParser(description=doc.strip().splitlines()[0])
    p.add_argument("--quick", action="store_true",
                   help="a short smoke run: prints its tables without writing RESULTS.md")
    return p


def finish(script, markdown, quick):
    """The tables with the load at the end added: written into RESULTS.md
    (publish), or with ``quick`` only printed."""
    load = os.getloadavg()[0] if hasattr(os, "getloadavg") else float("nan")
    head, _, rest = markdown.strip().partition("\n")
    markdown = "{} Load {:.1f} at the end.\n{}".format(head, load, rest)
    if quick:
        print(markdown, flush=True)
    else:
        publish(script, markdown)
