"""Keras callbacks for long training runs.

``ResumePosition`` is Keras's ``BackupAndRestore`` that also keeps the
place in the training data: with every backup of the weights it writes the
position of the training pipeline, (pass number, batches done in that
pass), and on restart gives it back, so that the pipeline can be built to
start exactly there::

    resume = ResumePosition("/ckpt/run1", save_freq=100)
    train = dataset.build_train_iterator(16, seed=7, start=resume.position)
    model.fit(resume.follow(train), epochs=30, callbacks=[resume])

A preempted run restarted with the same lines restores the weights and the
epoch (as ``BackupAndRestore`` does) and trains on exactly the batches the
uninterrupted run would have trained on.
"""

import json
import os

from . import _compat

__all__ = ["ResumePosition"]

_BASE, _HOOK = _compat.backup_callback()
POSITION_FILE = "trellisk_position.json"


class ResumePosition(_BASE):
    """``BackupAndRestore(backup_dir, save_freq, ...)`` that also backs up
    the position in the training data.

    ``position``: (pass number, batch) to give the training pipeline as
    ``start``: read from ``backup_dir`` when the callback is made, (0, 0)
    when there is no backup. ``follow(pipeline)`` tells the callback the
    pipeline's pass lengths (its ``training_passes``) and returns the
    pipeline. Each Keras epoch is taken as one pass, as the default
    pipelines (and graph pipelines without ``repeat``) make it; with a
    repeating graph pipeline and ``steps_per_epoch``, passes are counted by
    their exact lengths instead.

    A backup that would fall between the last batch of a pass and the end
    of its epoch is left to the next one, so that the weights and the
    position always belong together. The position file is written next to
    the weights (replaced whole, never half-written) and removed with them
    when training ends and ``delete_checkpoint`` is true.
    """

    def __init__(self, backup_dir, save_freq="epoch", **kwargs):
        super().__init__(backup_dir, save_freq=save_freq, **kwargs)
        self._position_path = os.path.join(os.fspath(backup_dir), POSITION_FILE)
        self.position = self._read()
        self._passes = None

    def _read(self):
        try:
            with open(self._position_path) as f:
                saved = json.load(f)
            return int(saved["pass"]), int(saved["batch"])
        except FileNotFoundError:
            return 0, 0
        except (ValueError, KeyError, TypeError) as e:
            raise ValueError("{} is damaged ({}): remove it to start the run over".format(
                self._position_path, e)) from None

    def follow(self, pipeline):
        """Count passes by ``pipeline``'s ``training_passes``; returns it."""
        self._passes = getattr(pipeline, "training_passes", None)
        return pipeline

    def _per_iteration(self):
        return self._passes is None or self._passes.per_iteration

    def _pass_done(self):
        passes = self._passes
        return passes is not None and self.position[1] >= passes.batches(self.position[0])

    def on_train_batch_end(self, batch, logs=None):
        pass_number, done = self.position
        self.position = (pass_number, done + 1)
        if not self._per_iteration() and self._pass_done():
            self.position = (pass_number + 1, 0)
        super().on_train_batch_end(batch, logs)

    def on_epoch_end(self, epoch, logs=None):
        if self._per_iteration():
            self.position = (self.position[0] + 1, 0)
        super().on_epoch_end(epoch, logs)

    def on_train_end(self, logs=None):
        super().on_train_end(logs)
        if getattr(self, "delete_checkpoint", False):
            try:
                os.remove(self._position_path)
            except FileNotFoundError:
                pass

    def _backup_with_position(self, *args, **kwargs):
        if self._per_iteration() and self._pass_done():
            return None  # the epoch has not ended yet: back up at the next chance
        getattr(super(), _HOOK)(*args, **kwargs)
        folder = os.path.dirname(self._position_path)
        os.makedirs(folder, exist_ok=True)
        temporary = self._position_path + ".tmp"
        with open(temporary, "w") as f:
            json.dump({"pass": self.position[0], "batch": self.position[1]}, f)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, self._position_path)
        return None


setattr(ResumePosition, _HOOK, ResumePosition._backup_with_position)
