"""Progress bars that are drawn only on a terminal.

A bar redrawn with carriage returns fills a log file (CI, ``make demo > log``)
with hundreds of frames; when the stream is not a terminal, each stage prints
one line when it finishes instead.
"""

import sys
import time


def count(n, unit):
    """``n`` and ``unit`` in the plural that ``n`` takes: "1 batch", "6 batches"."""
    if n == 1:
        return "{} {}".format(n, unit)
    return "{} {}{}".format(n, unit, "es" if unit.endswith(("s", "x", "ch", "sh")) else "s")


def is_terminal(stream):
    try:
        return bool(stream.isatty())
    except (AttributeError, ValueError):  # no isatty, or a closed stream
        return False


class StageLine:
    """Stand-in for a tqdm bar off a terminal: counts quietly and prints
    ``desc: N unit in S s`` (with the last postfix) once, when closed or when
    its iterable is exhausted."""

    def __init__(self, iterable=None, desc=None, total=None, unit="it", file=None):
        self.iterable = iterable
        self.desc = desc
        self.total = total
        self.unit = unit
        self.file = file
        self.n = 0
        self.postfix = ""
        self.start = time.perf_counter()
        self.closed = False

    def __iter__(self):
        try:
            for item in self.iterable:
                yield item
                self.n += 1
        finally:
            self.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def update(self, n=1):
        self.n += n

    def set_postfix(self, ordered_dict=None, **kwargs):
        items = dict(ordered_dict or {}, **kwargs)
        self.postfix = ", ".join("{}={}".format(k, v) for k, v in items.items())

    def set_postfix_str(self, s=""):
        self.postfix = str(s)

    def set_description(self, desc=None):
        self.desc = desc

    def close(self):
        if self.closed:
            return
        self.closed = True
        head = "{}: ".format(self.desc) if self.desc else ""
        line = "{}{} in {:.1f} s".format(head, count(self.n, self.unit), time.perf_counter() - self.start)
        if self.postfix:
            line += " ({})".format(self.postfix)
        out = self.file if self.file is not None else sys.stderr
        print(line, file=out, flush=True)


def bar(iterable=None, desc=None, total=None, unit="it", leave=False, file=None):
    """A tqdm bar over ``iterable`` on ``file`` (default stderr) when that is a
    terminal, else a :class:`StageLine`."""
    stream = file if file is not None else sys.stderr
    if not is_terminal(stream):
        return StageLine(iterable, desc=desc, total=total, unit=unit, file=stream)
    from tqdm import tqdm

    return tqdm(iterable, desc=desc, total=total, unit=unit, leave=leave, dynamic_ncols=True,
                file=stream)


def write(line, file=None):
    """Print ``line`` without breaking a bar that is being drawn."""
    stream = file if file is not None else sys.stdout
    if is_terminal(sys.stderr):
        from tqdm import tqdm

        tqdm.write(line, file=stream)
    else:
        print(line, file=stream)
