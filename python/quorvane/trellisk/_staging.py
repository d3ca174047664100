"""Put a new dataset in place of a folder's old one, so that the folder holds
either the old dataset or the complete new one, whatever stops the work.

A new dataset is written whole under ``OUT/.pack-staging/`` (hidden: no
listing of record files and no description reaches it): its split folders
with their final file names, a manifest of those names, and the description
last. Only then does ``OUT`` change, in a few renames (``commit``):

1. ``.pack-staging`` becomes ``.pack-commit``, the journal of the renames;
2. the old description moves into ``.pack-commit/old/`` (the old dataset no
   longer looks complete), then the old record files;
3. the new record files move into the split folders;
4. the new description moves into place: from here on ``OUT`` holds the new
   dataset;
5. the journal is removed.

A failure in steps 1-4 puts the old dataset back at once. A process killed
there (SIGKILL, a power cut) leaves the journal, and :func:`recover`, run by
the next pack into the folder, puts the old dataset back the same way (or
only removes the journal once step 4 was done). No description ever points
at a mix of old and new files. Ctrl-C and SIGTERM wait until the renames are
over (:func:`signals_held`).
"""

import contextlib
import json
import os
import shutil
import signal
import threading

from .datasets import formats as F

STAGING = ".pack-staging"
JOURNAL = ".pack-commit"
_OLD = "old"
_MANIFEST = "manifest.json"


def fsync_dir(path):
    """Make the renames inside ``path`` durable (where the system allows)."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _fsync_file(path):
    with open(path, "rb") as f:
        os.fsync(f.fileno())


def _remove(path):
    shutil.rmtree(path, ignore_errors=True)


@contextlib.contextmanager
def signals_held():
    """Ctrl-C and SIGTERM that arrive inside the block do not interrupt it;
    the list of those received is yielded. In a thread other than the main
    one nothing changes (signals reach the main thread alone)."""
    got = []
    saved = {}
    if threading.current_thread() is threading.main_thread():
        for sig in (signal.SIGINT, getattr(signal, "SIGTERM", None)):
            old = signal.getsignal(sig) if sig is not None else None
            # Only Python handlers (Ctrl-C's own, the command's SIGTERM) are
            # held: an ignored signal stays ignored, and one that ends the
            # process at once (SIGTERM by default) acts as SIGKILL would.
            if not callable(old):
                continue
            saved[sig] = old
            signal.signal(sig, lambda signum, frame: got.append(signum))
    try:
        yield got
    finally:
        for sig, old in saved.items():
            signal.signal(sig, old)


class Staging:
    """The hidden folder a new dataset of ``out`` is written into, with the
    split folders ``splits`` and the description file ``description``."""

    def __init__(self, out, splits, description):
        self.out = out
        self.splits = tuple(splits)
        self.description = description
        self.root = os.path.join(out, STAGING)
        self.committed = False

    def prepare(self):
        """An empty staging folder (a killed pack's one is its own leftover)."""
        _remove(self.root)
        for split in self.splits:
            os.makedirs(self.folder(split))

    def folder(self, split):
        return os.path.join(self.root, split)

    def write_description(self, text):
        """Write the description (the last file of the new dataset) and the
        manifest, each flushed to the disk."""
        manifest = {split: sorted(os.path.basename(p) for p in F.record_files(self.folder(split)))
                    for split in self.splits}
        for name, data in ((_MANIFEST, json.dumps(manifest)), (self.description, text)):
            with open(os.path.join(self.root, name), "w", encoding="utf-8") as f:
                f.write(data)
                f.flush()
                os.fsync(f.fileno())
        for split in self.splits:
            fsync_dir(self.folder(split))
        fsync_dir(self.root)

    def abandon(self):
        """Remove the staging folder (nothing of ``out`` has changed)."""
        _remove(self.root)

    def commit(self):
        """Put the staged dataset in place of ``out``'s old one. On a failure
        the old one is put back before the error is raised."""
        journal = os.path.join(self.out, JOURNAL)
        _remove(journal)
        os.replace(self.root, journal)
        fsync_dir(self.out)
        try:
            _install(self.out, journal, self.splits, self.description)
        except BaseException:
            _roll_back(self.out, journal, self.splits, self.description)
            raise
        self.committed = True
        _remove(journal)


def _install(out, journal, splits, description):
    old = os.path.join(journal, _OLD)
    os.makedirs(old, exist_ok=True)
    current = os.path.join(out, description)
    if os.path.exists(current):
        os.replace(current, os.path.join(old, description))
    for split in splits:
        os.makedirs(os.path.join(old, split), exist_ok=True)
        os.makedirs(os.path.join(out, split), exist_ok=True)
        for path in F.record_files(os.path.join(out, split)):
            os.replace(path, os.path.join(old, split, os.path.basename(path)))
    for split in splits:
        for path in F.record_files(os.path.join(journal, split)):
            os.replace(path, os.path.join(out, split, os.path.basename(path)))
        fsync_dir(os.path.join(out, split))
    os.replace(os.path.join(journal, description), current)
    fsync_dir(out)


def _roll_back(out, journal, splits, description):
    """Undo an unfinished ``_install``: the new record files go back to the
    journal, the old ones and the old description to their places."""
    with open(os.path.join(journal, _MANIFEST), encoding="utf-8") as f:
        manifest = json.load(f)
    old = os.path.join(journal, _OLD)
    for split in splits:
        # A new file is in the split folder only once every old one left it,
        # so a name of the manifest that the journal no longer holds is new.
        for name in manifest.get(split, ()):
            placed, staged = os.path.join(out, split, name), os.path.join(journal, split, name)
            if not os.path.exists(staged) and os.path.exists(placed):
                os.replace(placed, staged)
        kept = os.path.join(old, split)
        for name in (os.listdir(kept) if os.path.isdir(kept) else ()):
            os.replace(os.path.join(kept, name), os.path.join(out, split, name))
        fsync_dir(os.path.join(out, split))
    if os.path.exists(os.path.join(old, description)):
        os.replace(os.path.join(old, description), os.path.join(out, description))
    fsync_dir(out)
    _remove(journal)


def recover(out, splits, description):
    """Clear what a killed pack left in ``out``: its staging folder, and the
    journal of renames it had begun (the old dataset is put back, unless the
    new description was already in place). Returns "restored", "completed"
    or None when there was no journal."""
    _remove(os.path.join(out, STAGING))
    journal = os.path.join(out, JOURNAL)
    if not os.path.isdir(journal):
        return None
    if not os.path.exists(os.path.join(journal, description)):
        _remove(journal)
        return "completed"
    _roll_back(out, journal, splits, description)
    return "restored"
