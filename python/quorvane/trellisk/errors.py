"""The errors the libraries (``validate``, ``packing``, ``sources``) raise
for the caller to report; the command line maps them to exit codes."""


class UsageError(Exception):
    """The arguments themselves are wrong (the command exits with 2)."""


class DatasetError(Exception):
    """The dataset or its description cannot be used (the command exits with 1)."""
