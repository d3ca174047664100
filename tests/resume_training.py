"""A small Keras training run for test_resume: trains three epochs on a tiny
dataset under ResumePosition (a backup after every batch) and appends a hash
of every batch it trains on (images and labels) to a log file.

    python resume_training.py segmentation|detection ROOT LOG [DIE_AT]

With DIE_AT, the process kills itself (SIGKILL) once that many batches are
trained, as a preempted machine would stop it. Run again without DIE_AT on
the same ROOT, it resumes."""

import hashlib
import os
import signal
import sys
import pathlib

import numpy as np
import tensorflow as tf

from quorvane.trellisk.callbacks import ResumePosition
from test_resume import folder_dataset, native, record_dataset

EPOCHS, BATCH, PICTURES = 3, 3, 9


def main(kind, root, log, die_at=None):
    root = pathlib.Path(root)
    classes = [i % 3 for i in range(PICTURES)]
    if kind == "segmentation":
        ds = native(folder_dataset(root / "data", classes), 17)
    else:
        ds = record_dataset(root / "data", classes, {"mosaic": 1.0, "hsv": 1.0, "hflip": 0.5})
    resume = ResumePosition(str(root / "backup"), save_freq=1)
    if kind == "segmentation":
        train = ds.build_train_iterator(BATCH, 2, start=resume.position)
    else:
        train = ds.build_train_iterator(BATCH, seed=17, start=resume.position)
    resume.follow(train)
    steps = train.training_passes.batches(0)

    def record(images, labels):
        with open(log, "a") as f:
            f.write(hashlib.sha1(images.tobytes() + labels.tobytes()).hexdigest() + "\n")
        return np.int64(0)

    class Logged(tf.keras.Model):
        def __init__(self):
            super().__init__()
            self.dense = tf.keras.layers.Dense(1)

        def call(self, images):
            return self.dense(tf.reduce_mean(tf.cast(images, tf.float32), axis=[1, 2]))

        def train_step(self, data):
            images, labels = data
            labels = labels[0] if isinstance(labels, (tuple, list)) else labels
            logged = tf.numpy_function(record, [images, labels], tf.int64)
            with tf.control_dependencies([logged]):
                with tf.GradientTape() as tape:
                    loss = tf.reduce_mean(tf.square(self(images)))
            grads = tape.gradient(loss, self.trainable_variables)
            self.optimizer.apply_gradients(zip(grads, self.trainable_variables))
            return {"loss": loss}

    class Die(tf.keras.callbacks.Callback):
        trained = 0

        def on_train_batch_end(self, batch, logs=None):
            Die.trained += 1
            if die_at is not None and Die.trained == die_at:
                os.kill(os.getpid(), signal.SIGKILL)

    model = Logged()
    model(tf.zeros([1] + [16, 16, 3], tf.uint8))
    model.compile(optimizer=tf.keras.optimizers.SGD(0.01))
    model.fit(train.repeat(), steps_per_epoch=steps, epochs=EPOCHS, callbacks=[resume, Die()],
              verbose=0)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]) if len(sys.argv) > 4 else None)
