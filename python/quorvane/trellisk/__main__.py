"""``python -m quorvane.trellisk``: demo, check, preview and throughput."""

import sys

from quorvane.trellisk.cli import main

if __name__ == "__main__":
    sys.exit(main())
