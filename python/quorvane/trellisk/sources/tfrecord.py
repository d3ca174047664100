"""A TFRecord YAML description: class names and, for the train and
validation splits, a folder of record files (``path``, or ``images`` in the
older layout without ``type``) and their ``samples`` count.

Records are read in file order as a stream (this needs TensorFlow, so it
runs in the calling process).
"""

import os

from .._tfutil import import_tensorflow, tf_error_text
from ..datasets import formats as F
from ._common import (K, Problems, YamlDescription, file_size, one_path,
                      refuse_folders_and_classes, show)
from .base import RECORD_KINDS, Object, Problem, Sample, SampleRef, SourceBase


def looks_tfrecord(doc):
    Y = F.TFRECORD_YAML
    if doc.get(Y.TYPE) is not None:
        return True
    splits = [doc.get(k) for k in Y.SECTIONS]
    splits = [s for s in splits if isinstance(s, dict)]
    if any(Y.PATH in s for s in splits):
        return True
    # The older TFRecord layout names the record folder "images" and has no
    # annotation folder; a segmentation description always has one.
    return bool(splits) and not any(F.SEGMENTATION_YAML.ANNOTATIONS in s for s in splits)


def recognise(paths, images=None):
    path = one_path(paths)
    if path is None or os.path.isdir(path) or path.lower().endswith(".json"):
        return False
    doc = YamlDescription(path).doc
    return doc is not None and looks_tfrecord(doc)


def open(paths, images=None, classes=None):  # noqa: A001
    refuse_folders_and_classes(images, classes)
    return TFRecordSource(paths[0], YamlDescription(paths[0]).doc)


def _tf_message(e):
    return tf_error_text(e)[:300]


class TFRecordSource(SourceBase):
    kind = "tfrecord"
    parallel = False  # records are parsed with TensorFlow, in this process
    problem_kinds = RECORD_KINDS

    def __init__(self, path, doc):
        super().__init__()
        self.path, self.doc = path, doc
        self._problems = Problems()
        self._splits = {}   # split -> (folder, files, stated samples)
        self._read = {}     # split -> records read
        classes = doc.get(F.TFRECORD_YAML.CLASSES)
        self.classes = [str(c) for c in classes] if isinstance(classes, list) else []
        self._nclasses = len(classes) if isinstance(classes, list) else None
        self._describe()

    def title(self):
        return "TFRecord YAML ({})".format(self.path)

    def problems(self):
        return list(self._problems)

    def _describe(self):
        doc, where, problems, Y = self.doc, self.path, self._problems, F.TFRECORD_YAML
        ds_type = doc.get(Y.TYPE)
        if ds_type is not None and ds_type != Y.TYPE_VALUE:
            problems.add(where, K.DESCRIPTION, Y.CHECK_BAD_TYPE.format(show(ds_type)))
            return
        classes = doc.get(Y.CLASSES)
        if not isinstance(classes, list) or not all(isinstance(c, str) for c in classes):
            problems.add(where, K.DESCRIPTION, Y.CHECK_BAD_CLASSES.format(show(classes)))
        key = Y.OLDER_PATH if ds_type is None else Y.PATH
        for name in Y.SECTIONS:
            section = doc.get(name)
            if not isinstance(section, dict):
                problems.add(where, K.DESCRIPTION, Y.CHECK_MISSING_SECTION.format(name))
                continue
            folder, samples = section.get(key), section.get(Y.SAMPLES)
            if not isinstance(folder, str):
                problems.add(where, K.DESCRIPTION, Y.CHECK_NO_FOLDER_KEY.format(name, key))
                continue
            if not os.path.isdir(folder):
                problems.add(where, K.DESCRIPTION, Y.CHECK_NO_FOLDER.format(name, folder))
                continue
            if samples is not None and (not isinstance(samples, int) or isinstance(samples, bool)
                                        or samples <= 0):
                problems.add(where, K.DESCRIPTION, Y.CHECK_BAD_SAMPLES.format(name, show(samples)))
                samples = None
            files = sorted(F.record_files(folder))
            if not files:
                problems.add(folder, K.DESCRIPTION, Y.CHECK_NO_FILES.format(name))
            self._splits[name] = (folder, files, samples)

    def splits(self):
        """One ref per record file: the file is read as a stream of samples."""
        return {split: [SampleRef(split, os.path.basename(p), p, p, file_size(p)) for p in files]
                for split, (_, files, _) in self._splits.items()}

    def expected(self, split):
        """The stated sample count of ``split`` (None when not stated)."""
        return self._splits[split][2] if split in self._splits else None

    def read(self, ref, image=True):
        raise NotImplementedError("records are read as a stream: use samples()")

    def samples(self, split, image=True):
        tf = import_tensorflow()
        self._read[split] = 0
        for ref in self.splits().get(split, ()):
            for sample in self._file_samples(tf, ref.key):
                if sample.stands_for_sample:
                    self._read[split] += 1
                yield sample

    def split_problems(self, split):
        stated = self.expected(split)
        if stated is not None and split in self._read and stated != self._read[split]:
            return [Problem(K.DESCRIPTION, self.path, F.TFRECORD_YAML.CHECK_COUNT_MISMATCH.format(
                split, stated, self._read[split]))]
        return []

    def _file_samples(self, tf, path):
        """The samples of one record file; where the file cannot be read on
        is a problem that stands for no sample."""
        from ..datasets.tfrecord import scan_record_file

        self.counts["record files"] += 1
        # TensorFlow's reader trusts each frame's declared length (a bad one
        # can kill the process), so only the frames found sound are read.
        sound, offset, problem = scan_record_file(path)
        k = 0
        try:
            for data in tf.data.TFRecordDataset(path).take(sound):
                k += 1
                self.counts["records"] += 1
                yield self._record(tf, "{} record {}".format(path, k - 1), data)
        except tf.errors.OpError as e:
            # A damaged file cannot be read past the damage.
            problem = "the file cannot be read from here on: {}".format(_tf_message(e))
        else:
            if problem is not None:
                problem = "the file cannot be read from here on: damaged frame at byte {}: {}".format(
                    offset, problem)
        if problem is not None:
            where = "{} record {}".format(path, k)
            yield Sample(where, None, problems=[Problem(K.RECORD_PARSE, where, problem)],
                         stands_for_sample=False)

    def _record(self, tf, where, data):
        """One serialized record as a sample."""
        import numpy as np

        problems = Problems()
        sample = Sample(where, None, problems=problems)
        try:
            parsed = tf.io.parse_single_example(data, F.record_features(tf, outlines=True))
        except (tf.errors.OpError, ValueError) as e:
            problems.add(where, K.RECORD_PARSE, _tf_message(e))
            return sample
        try:
            shape = tf.io.decode_jpeg(parsed["image"]).numpy().shape
            sample.height, sample.width = int(shape[0]), int(shape[1])
        except (tf.errors.OpError, ValueError) as e:
            problems.add(where, K.RECORD_DECODE, _tf_message(e))
        objects = tf.sparse.to_dense(parsed["objects"]).numpy()
        boxes = tf.sparse.to_dense(parsed["bboxes"]).numpy()
        if boxes.size % F.BOX_VALUES or boxes.size // F.BOX_VALUES != objects.size:
            problems.add(where, K.BOX_LABEL_MISMATCH, "{} labels and {} box values ({} per box)".format(
                objects.size, boxes.size, F.BOX_VALUES))
        if self._nclasses is not None:
            bad = [int(o) for o in objects if not 0 <= o < self._nclasses]
            if bad:
                problems.add(where, K.CLASS_RANGE, "label {} with {} classes (0..{})".format(
                    bad[0], self._nclasses, self._nclasses - 1))
        outside = boxes[~(np.isfinite(boxes) & (boxes >= 0) & (boxes <= 1))]
        if outside.size:
            problems.add(where, K.COORD_RANGE, "{} box values outside 0..1, first {:g}".format(
                outside.size, float(outside[0])))
        # The outlines, checked by the kernel every reader applies (counts
        # agree, vertices in 0..1, classes in range and those of "objects").
        # Their RLE regions likewise (objects in range and increasing, texts
        # that decode at the record's size).
        parts, regions = {}, {}
        try:
            from ..ops import record_outlines, record_regions

            max_class = self._nclasses - 1 if self._nclasses is not None else F.MAX_CLASS_ID
            points, rows, classes = record_outlines(parsed, max_class, source=where)
            points = points.numpy().astype(np.float64)
            for obj, first, count in rows.numpy().tolist():
                parts.setdefault(obj, []).append(tuple(map(tuple, points[first:first + count].tolist())))
            info = record_regions(parsed, classes, source=where).numpy()
            texts = tf.sparse.to_dense(parsed[F.REGION_COUNTS]).numpy()
            regions = {int(obj): text.decode("ascii") for obj, text in zip(info[:, 6], texts)}
        except tf.errors.OpError as e:
            problems.add(where, K.OUTLINE_MISMATCH, _tf_message(e))
        if problems:
            return sample
        name = parsed["image_name"].numpy()
        sample.name = name.decode("utf-8", "surrogateescape")
        sample.image = parsed["image"].numpy()
        # Records hold (cx, cy, w, h); in float64 the corners give them back exactly.
        # Outlined objects keep their outlines and regions (pack writes them again).
        for i, (label, (cx, cy, w, h)) in enumerate(zip(objects.tolist(),
                                                        boxes.astype(np.float64).reshape(-1, 4).tolist())):
            sample.objects.append(Object(int(label), (cx - w / 2, cy - h / 2, cx + w / 2, cy + h / 2),
                                         parts=tuple(parts.get(i, ())), region=regions.get(i)))
        return sample

