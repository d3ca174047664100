"""One ``Source`` per dataset layout, read by ``validate`` and ``packing``."""

from .base import Object, Problem, ProblemKind, Sample, SampleRef, Source  # noqa: F401
