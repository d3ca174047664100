"""Runs every bench/bench_*.py, each in its own process, one after another.

Each script measures its figures and rewrites its own tables in
bench/RESULTS.md (between the markers that name it, see bench/_report.py),
so one run of this file regenerates every table there.

    python bench/run.py [--quick] [--only NAME ...]

--quick is passed on to the scripts that accept it (a short smoke run whose
figures are only indicative); --only runs the named scripts alone
(e.g. --only bench_graph). Exits non-zero when a script fails, after running
the others.
"""

import argparse
import pathlib
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent


def scripts(only=None):
    found = sorted(HERE.glob("bench_*.py"))
    if only:
        wanted = {n if n.endswith(".py") else n + ".py" for n in only}
        missing = wanted - {p.name for p in found}
        if missing:
            raise SystemExit("no such bench script: " + ", ".join(sorted(missing)))
        found = [p for p in found if p.name in wanted]
    return found


def accepts_quick(path):
    return "--quick" in path.read_text()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short runs, for scripts that support it")
    parser.add_argument("--only", nargs="+", metavar="NAME", help="run only these scripts")
    args = parser.parse_args(argv)
    failed = []
    for path in scripts(args.only):
        cmd = [sys.executable, str(path)] + (["--quick"] if args.quick and accepts_quick(path) else [])
        print("==", " ".join(cmd[1:]), flush=True)
        start = time.perf_counter()
        rc = subprocess.call(cmd, cwd=str(HERE.parent))
        print("== {} {} in {:.0f} s".format(path.name, "ok" if rc == 0 else "FAILED (exit {})".format(rc),
                                            time.perf_counter() - start), flush=True)
        if rc:
            failed.append(path.name)
    if failed:
        print("failed:", ", ".join(failed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
