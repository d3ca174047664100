"""The ``check`` command: every problem of a dataset, one line each as it is
found, then a summary table (the work is ``quorvane.trellisk.validate``)."""

import sys

from .. import progress, validate
from ..sources import open_source
from ..sources.base import ProblemKind

# The short names of the problem kinds, in the order of the summary table.
KINDS = [k.key for k in ProblemKind]


def library_source(src):
    """The ``Source`` of what the command line named (a ``cli.sources.Source``)."""
    if hasattr(src, "splits"):
        return src
    if "source" in src.extra:
        return src.extra["source"]
    paths, images, classes = src.arguments()
    return open_source(paths, images=images, classes=classes)


def run(src, out=None):
    """Check the dataset of ``src``, printing to ``out`` (default stdout);
    returns the ``validate.Report``."""
    out = out or sys.stdout
    source = library_source(src)
    if not source.classes_given:
        print("note: no --classes given, so class values are not checked against labels", file=out)

    def bar(iterable=None, desc=None, total=None, unit="it"):
        return progress.bar(iterable, desc=desc, total=total, unit=unit, file=sys.stderr)

    report = validate.check(source, listen=lambda p: progress.write(p.line(), file=out), bar=bar)
    for line in report.summary():
        print(line, file=out)
    return report
