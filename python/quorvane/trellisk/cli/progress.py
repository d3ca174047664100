"""The progress bars, kept here for the commands that import them from ``cli``."""

from ..progress import StageLine, bar, count, is_terminal, write  # noqa: F401
