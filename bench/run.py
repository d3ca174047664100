"""Runs every bench/bench_*.py in turn and prints what each measures."""

import pathlib
import runpy
import sys

here = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(here))
for path in sorted(here.glob("bench_*.py")):
    print("==", path.name, flush=True)
    runpy.run_path(str(path), run_name="__main__")
