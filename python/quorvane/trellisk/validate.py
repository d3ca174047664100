"""Read every sample of a dataset once and collect every problem found.

The checks mirror what the readers need: a file the reader would fail on, or
a value it would silently turn into a wrong batch (a class beyond the labels,
a vertex outside the picture), is a ``Problem`` naming the file (and record)
it is in. Nothing stops at the first problem, and nothing is printed: the
caller decides (``python -m quorvane.trellisk check`` prints each problem as
it is found, then the summary).
"""

from collections import Counter

from .sources import open_source
from .sources.base import ProblemKind, complete


class Report:
    """The problems found (``Problem`` values, in the order found), what was
    read (``counted``: "annotation files", "images", "records", ...), the
    ``notes`` worth knowing that are not faults, and the verdict on each
    sample: ``sound`` {split: {sample name: (class of each object, ...)}}
    and ``unsound`` {split: [sample name, ...]}. ``listen``: called with
    each problem as it is found."""

    def __init__(self, listen=None, kinds=None):
        self.problems = []
        self.counted = Counter()
        self.notes = []
        self.sound = {}
        self.unsound = {}
        self.kinds = list(kinds or ProblemKind)
        self._listen = listen

    def add(self, problem):
        self.problems.append(problem)
        if self._listen is not None:
            self._listen(problem)

    def extend(self, problems):
        for p in problems:
            self.add(p)

    def counts(self):
        """{ProblemKind: number found}."""
        return Counter(p.kind for p in self.problems)

    def summary(self):
        """The summary table, what was read and the notes, as lines."""
        counts = self.counts()
        rows = [(k.title, counts.get(k, 0)) for k in self.kinds]
        rows += [(k.title, n) for k, n in counts.items() if k not in self.kinds]
        width = max(len(r[0]) for r in rows + [("problem", 0)])
        rule = "{}  {}".format("-" * width, "-" * 7)
        lines = ["", "{:<{w}}  {:>7}".format("problem", "count", w=width), rule]
        lines += ["{:<{w}}  {:>7}".format(name, n, w=width) for name, n in rows]
        lines += [rule, "{:<{w}}  {:>7}".format("total", len(self.problems), w=width)]
        read = ", ".join("{}: {}".format(what, n) for what, n in self.counted.items())
        lines.append("read: {}".format(read or "nothing"))
        lines += ["note: {}".format(note) for note in self.notes]
        return lines


def _no_bar(iterable=None, **kwargs):
    return _Quiet(iterable)


class _Quiet:
    def __init__(self, iterable):
        self.iterable = iterable

    def __iter__(self):
        return iter(self.iterable)

    def update(self, n=1):
        pass

    def close(self):
        pass


def check(source, listen=None, bar=None):
    """Check every sample of ``source`` (a ``Source``, or a DESCRIPTION as
    ``sources.open_source`` takes it); returns the :class:`Report`.

    ``listen``: called with each ``Problem`` as it is found; ``bar``: a
    progress bar factory (``progress.bar``), none by default."""
    source = complete(source) if hasattr(source, "splits") else open_source(source)
    bar = bar or _no_bar
    report = Report(listen, source.problem_kinds)
    report.extend(source.problems())
    seen = Counter()
    for split, refs in source.splits().items():
        progress = bar(desc="{} samples".format(split), total=len(refs) if source.parallel else None,
                       unit="sample")
        try:
            sound, unsound = report.sound.setdefault(split, {}), report.unsound.setdefault(split, [])
            for sample in source.samples(split, image=False):
                report.extend(sample.problems)
                seen.update(sample.counts)
                if sample.stands_for_sample:
                    if sample.problems:
                        unsound.append(sample.name)
                    else:
                        sound[sample.name] = tuple(o.class_id for o in sample.objects)
                progress.update(1)
        finally:
            progress.close()
        report.extend(source.split_problems(split))
    report.extend(source.leftovers())
    report.counted.update(source.counts)
    report.counted.update(seen)
    report.notes.extend(source.notes())
    return report
