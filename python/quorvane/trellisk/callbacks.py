"""Keras callbacks for long training runs.

``ResumePosition`` is Keras's ``BackupAndRestore`` that also keeps the
place in the training data: with every backup of the weights it writes the
position of the training pipeline, (pass number, batches done in that
pass), and on restart gives it back, so that the pipeline can be built to
start exactly there::

    resume = ResumePosition("/ckpt/run1", save_freq=100)
    train = resume.follow(dataset.build_train_iterator(16, seed=7, start=resume.position))
    model.fit(train.repeat(), steps_per_epoch=train.training_passes.batches(0), epochs=30,
              callbacks=[resume])

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
    pipeline's exact pass lengths (its ``training_passes``) and returns the
    pipeline; without it every Keras epoch is taken as one pass.

    Feed the pipeline repeated, with ``steps_per_epoch``: Keras takes the
    length of its first epoch for all the others, and a resumed first epoch
    is shorter. Keras 3 does not restore the step within the epoch, so a
    resumed run would train past the end; the callback stops training once
    ``epochs * steps_per_epoch`` batches are done in all, where the
    uninterrupted run stops.

    The position file is written after the weights (replaced whole, never
    half-written) and removed with them when training ends and
    ``delete_checkpoint`` is true.
    """

    def __init__(self, backup_dir, save_freq="epoch", **kwargs):
        super().__init__(backup_dir, save_freq=save_freq, **kwargs)
        self._position_path = os.path.join(os.fspath(backup_dir), POSITION_FILE)
        self.position = self._read()
        self._passes = None
        self._done = self._total = None

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

    def on_train_begin(self, logs=None):
        super().on_train_begin(logs)
        params = self.params or {}
        steps, epochs = params.get("steps"), params.get("epochs")
        self._total = steps * epochs if steps and epochs and self._passes is not None else None
        if self._total is not None:
            pass_number, batch = self.position
            self._done = sum(self._passes.batches(p) for p in range(pass_number)) + batch

    def on_train_batch_end(self, batch, logs=None):
        pass_number, done = self.position
        self.position = (pass_number, done + 1)
        if self._passes is not None and done + 1 >= self._passes.batches(pass_number):
            self.position = (pass_number + 1, 0)
        if self._total is not None:
            self._done += 1
            if self._done >= self._total:
                self.model.stop_training = True
        super().on_train_batch_end(batch, logs)

    def on_epoch_end(self, epoch, logs=None):
        if self._passes is None:
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
