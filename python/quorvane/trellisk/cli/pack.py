"""The ``pack`` command: a dataset of any layout into a checked, sharded
TFRecord detection dataset (the work is ``quorvane.trellisk.packing``)."""

import signal

from .. import packing


def run(args):
    """The ``pack`` command; returns the exit code."""
    if hasattr(signal, "SIGTERM"):
        # A terminated pack cleans up like an interrupted one.
        def terminate(signum, frame):
            raise KeyboardInterrupt

        signal.signal(signal.SIGTERM, terminate)
    # Options left out take pack()'s defaults.
    given = {k: getattr(args, k) for k in ("shard_mb", "quality", "val_fraction")
             if getattr(args, k) is not None}
    packing.pack(args.description, args.out, images=args.images, classes=args.classes,
                 strict=args.strict, overwrite=args.overwrite, workers=args.workers, **given)
    return 0
