"""Two-process MultiWorkerMirroredStrategy training on a graph pipeline.

Each trainer process builds its own graph pipeline over its share of the
training files (``shard=(num_workers, index)``), so no sample is seen twice in
an epoch, and the strategy keeps the two model copies in step.

Run both trainers on this machine (localhost ports), on the sample dataset
that the demo writes:

    python examples/multiworker_train.py --launch 2 --steps 5

or start each trainer yourself, on as many machines as you like, with the
same --hosts list and its own --index:

    python examples/multiworker_train.py --hosts hostA:23456,hostB:23456 --index 0 --data DIR
    python examples/multiworker_train.py --hosts hostA:23456,hostB:23456 --index 1 --data DIR

--data is a folder written by the sample-data generator (the demo's output
folder); without it --launch writes one into a temporary folder first.
"""

import argparse
import json
import os
import socket
import subprocess
import sys
import tempfile


def free_ports(n):
    socks = [socket.socket() for _ in range(n)]
    for s in socks:
        s.bind(("localhost", 0))
    ports = [s.getsockname()[1] for s in socks]
    for s in socks:
        s.close()
    return ports


def train(hosts, index, data, steps, batch_size):
    # TF_CONFIG must be set before TensorFlow starts its collective runtime.
    os.environ["TF_CONFIG"] = json.dumps(
        {"cluster": {"worker": hosts}, "task": {"type": "worker", "index": index}})
    import tensorflow as tf

    from quorvane.trellisk.cli.demo import tiny_segmenter
    from quorvane.trellisk.datasets import graph
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetYaml

    shape = [128, 128, 3]
    strategy = tf.distribute.MultiWorkerMirroredStrategy()
    dataset = SegmentationDatasetYaml(os.path.join(data, "segmentation.yaml"), shape=shape,
                                      tasks=["segment"])
    # Each trainer reads its own files; TensorFlow's automatic sharding would
    # read every file and throw away the other trainers' elements.
    ds = graph.train_pipeline(dataset, batch_size=batch_size, prefetch=2, seed=index,
                              shard=(len(hosts), index)).repeat()
    options = tf.data.Options()
    options.experimental_distribute.auto_shard_policy = tf.data.experimental.AutoShardPolicy.OFF
    ds = ds.with_options(options)
    # A training loop of its own rather than model.fit: Keras 3's fit first
    # averages a batch across the workers to build the model, and that
    # reduction fails under a multi-worker strategy.
    global_batch = batch_size * len(hosts)
    with strategy.scope():
        model = tiny_segmenter(dataset.get_num_segmentation_classes(), shape)
        optimizer = tf.keras.optimizers.Adam(1e-3)
        cross_entropy = tf.keras.losses.SparseCategoricalCrossentropy(from_logits=True,
                                                                      reduction="none")

    def replica_step(images, masks):
        with tf.GradientTape() as tape:
            per_sample = tf.reduce_mean(cross_entropy(masks, model(images, training=True)),
                                        axis=[1, 2])
            loss = tf.nn.compute_average_loss(per_sample, global_batch_size=global_batch)
        grads = tape.gradient(loss, model.trainable_variables)
        optimizer.apply_gradients(zip(grads, model.trainable_variables))
        return loss

    @tf.function
    def train_step(iterator):
        images, masks = next(iterator)
        return strategy.reduce("SUM", strategy.run(replica_step, args=(images, masks)), axis=None)

    iterator = iter(strategy.experimental_distribute_dataset(ds))
    for _ in range(steps):
        loss = train_step(iterator)
    print("trainer {} of {}: {} steps, loss {:.4f}".format(index, len(hosts), steps, float(loss)),
          flush=True)


def launch(n, data, steps, batch_size):
    if data is None:
        from quorvane.trellisk import sampledata

        data = tempfile.mkdtemp(prefix="trellisk-mw-")
        sampledata.write_dataset(data, per_photo=2, val_per_photo=1)
    hosts = ["localhost:{}".format(p) for p in free_ports(n)]
    procs = [subprocess.Popen([sys.executable, __file__, "--hosts", ",".join(hosts),
                               "--index", str(i), "--data", data, "--steps", str(steps),
                               "--batch-size", str(batch_size)]) for i in range(n)]
    codes = [p.wait() for p in procs]
    print("trainer exit codes: {}".format(codes))
    return 0 if all(c == 0 for c in codes) else 1


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--launch", type=int, metavar="N", help="start N trainers on localhost")
    p.add_argument("--hosts", help="comma-separated HOST:PORT of every trainer, in index order")
    p.add_argument("--index", type=int, help="this trainer's position in --hosts")
    p.add_argument("--data", help="folder written by the sample-data generator")
    p.add_argument("--steps", type=int, default=5)
    p.add_argument("--batch-size", type=int, default=4)
    a = p.parse_args(argv)
    if a.launch:
        return launch(a.launch, a.data, a.steps, a.batch_size)
    if a.hosts is None or a.index is None or a.data is None:
        p.error("give --launch N, or --hosts, --index and --data")
    train(a.hosts.split(","), a.index, a.data, a.steps, a.batch_size)
    return 0


if __name__ == "__main__":
    sys.exit(main())
