"""Fuzz the YAML-described constructors of both families:
SegmentationDatasetYaml and TFRecordDatasetYaml.

Input: flags (bit 0: the TFRecord family), one spare byte, the YAML file as
the rest. Descriptions use paths relative to a scratch folder that holds a
small valid dataset of each family."""

import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

with harness.instrumented():
    import yaml

from quorvane.trellisk.datasets.segmentation import SegmentationDatasetYaml  # noqa: E402
from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml  # noqa: E402

SHAPE = [16, 16, 3]
WORK = harness.scratch("yaml")
FILE = os.path.join(WORK, "info.yaml")
for split in ("train", "val"):
    harness.write(os.path.join(WORK, "seg", split, "ann", "a.json"), b'{"image": "a.png"}')
    os.makedirs(os.path.join(WORK, "seg", split, "img"))
    # the record files are only listed, never read, by the constructor
    harness.write(os.path.join(WORK, "tfr", split, "a.tfrecord"), b"")

# The loader's errors, missing sections and bad values (ValueError), missing
# folders (FileNotFoundError and other OSError of the existence tests), values
# of the wrong kind (TypeError), a document that is not a mapping or a
# section that is not one (AttributeError from `get`), a document nested too
# deep (RecursionError).
ERRORS = (yaml.YAMLError, ValueError, OSError, TypeError, AttributeError, RecursionError)
YAML_DIR = os.path.dirname(os.path.abspath(yaml.__file__))


def raised_by_loader(e):
    """Whether `e` was raised inside the YAML library: the loader's own errors
    propagate unchanged, whatever their type (it raises IndexError for an
    empty scalar tagged !!int, for one)."""
    tb, last = e.__traceback__, None
    while tb is not None:
        last, tb = tb, tb.tb_next
    return last is not None and os.path.dirname(os.path.abspath(last.tb_frame.f_code.co_filename)) == YAML_DIR


def one_input(data):
    inp = harness.Input(data)
    flags = inp.byte()
    inp.byte()
    harness.write(FILE, inp.rest())
    try:
        construct(flags)
    except Exception as e:
        if not raised_by_loader(e):
            raise
        harness.signal("loader", type(e).__name__)


def construct(flags):
    with harness.inside(WORK), warnings.catch_warnings(), harness.allowed(*ERRORS):
        warnings.simplefilter("ignore")
        if flags & 1:
            ds = TFRecordDatasetYaml(FILE, list(SHAPE))
            harness.signal("ok", ds.class_offset, len(ds.classes), ds.train_storage is None)
            harness.check(isinstance(ds.classes, list), "classes not a list")
            for storage in (ds.train_storage, ds.val_storage):
                harness.check(isinstance(storage, (list, str)) or storage is None,
                              "storage {!r}".format(type(storage)))
        else:
            ds = SegmentationDatasetYaml(FILE, list(SHAPE), tasks=["segment"])
            harness.check(ds.num_training_samples == len(ds.train_storage) >= 1, "train count")


if __name__ == "__main__":
    harness.main(one_input, "yaml")
