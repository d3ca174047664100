"""``pack``: turn a dataset into a checked, sharded TFRecord detection dataset.

Every sample is checked with ``check``'s own code; a sample with a problem is
left out with one line saying why. The rest become tf.train.Example records
with exactly the features the TFRecord datasets read, written into shards
``DIR/train/part-00000-of-00004.tfrecord`` ... and ``DIR/validation/...``,
and ``DIR/tfrecord.yaml`` describes them. The work is spread over worker
processes (which never import TensorFlow); the output depends only on the
input and the options, never on the timing of the workers.

Nothing half-written looks finished: shards are written under hidden
temporary names, flushed to the disk and renamed only when every shard is
complete, and the description is written last.
"""

import hashlib
import io
import os
import signal
import sys
from collections import Counter, deque
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass, field
from multiprocessing import get_context

from ..datasets import formats as F
from . import check, progress
from .sources import DatasetError, UsageError

# Object stores and the tf.data readers do best with files of a hundred
# megabytes or more: big enough that opening one costs little next to
# reading it, small enough to spread over many readers.
DEFAULT_SHARD_MB = 100
# Pictures that are not JPEG files are encoded once at this quality.
DEFAULT_QUALITY = 95
# The share of a COCO file's or a folder pair's samples that go to validation.
DEFAULT_VAL_FRACTION = 0.1
DESCRIPTION_FILE = "tfrecord.yaml"
SPLITS = ("train", "validation")
SHARD_NAME = "part-{:05d}-of-{:05d}" + F.RECORD_PATTERN[1:]
# Hidden (a leading dot) and without the record suffix at the end: neither
# the datasets' listing nor a glob for finished shards ever matches one.
TEMP_PREFIX = ".pack-"
TEMP_SUFFIX = ".partial"
# Samples per task a worker process handles at a time.
CHUNK = 16

# JPEG pictures the TFRecord readers decode as they are (a greyscale one is
# repeated into three channels); any other picture is re-encoded.
_PASS_MODES = ("RGB", "L")


class PackError(DatasetError):
    """Packing failed or was refused (exit code 1)."""


@dataclass
class SplitResult:
    samples: int = 0
    shards: int = 0
    bytes: int = 0
    skipped: int = 0


@dataclass
class Summary:
    """What :func:`pack` wrote: ``splits`` {"train"|"validation": SplitResult},
    ``problems`` {kind: count} of the skipped samples, ``crowd`` COCO crowd
    objects left out, ``reencoded`` pictures encoded as JPEG, ``description``
    the path of the written tfrecord.yaml."""

    out: str
    description: str = ""
    classes: list = field(default_factory=list)
    splits: dict = field(default_factory=dict)
    problems: Counter = field(default_factory=Counter)
    crowd: int = 0
    reencoded: int = 0
    orphans: int = 0


# -- one sample, in a worker process ---------------------------------------------

def stored_image(path, quality=DEFAULT_QUALITY, seen=None):
    """(JPEG bytes, width, height, re-encoded) of the picture at ``path``: a
    JPEG file the readers decode as it is goes in byte for byte; anything
    else is converted to RGB as the segmentation readers convert it and
    encoded once at ``quality``. ``seen``: (path, format, mode, size, bytes)
    as check found the file, which spares reading it again."""
    from PIL import Image

    if seen is not None and seen[0] == path:
        data = seen[4]
        if seen[1] == "JPEG" and seen[2] in _PASS_MODES:
            return data, seen[3][0], seen[3][1], False
    else:
        with open(path, "rb") as f:
            data = f.read()
    with Image.open(io.BytesIO(data)) as im:
        if im.format == "JPEG" and im.mode in _PASS_MODES:
            return data, im.size[0], im.size[1], False
        rgb = im.convert("RGB")
    buf = io.BytesIO()
    rgb.save(buf, format="JPEG", quality=quality)
    return buf.getvalue(), rgb.size[0], rgb.size[1], True


def _extent(points):
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return min(xs), min(ys), max(xs), max(ys)


def _xywh(x1, y1, x2, y2):
    return [(x1 + x2) / 2, (y1 + y2) / 2, x2 - x1, y2 - y1]


def json_boxes(doc):
    """(objects, boxes) of a per-image annotation file that check found
    sound: one box per object, the extent of all its parts (normalised
    coordinates), with the class of its first part."""
    objects, boxes = [], []
    for obj in doc.get(F.JSON_SEGMENT) or []:
        points = [p for part in obj for p in part[F.JSON_POLYGON]]
        if not points:
            continue
        objects.append(int(obj[0][F.JSON_CLASS]))
        boxes.append(_xywh(*_extent(points)))
    return objects, boxes


def coco_boxes(annotations, category_classes, width, height, entry=None):
    """(objects, boxes, crowd) of a COCO sample that check found sound: each
    object's box ("bbox", or the extent of its RLE region when it has none)
    in fractions of the picture as (x centre, y centre, width, height); crowd
    regions are left out of the objects and their boxes listed in ``crowd``
    (None for a crowd polygon without "bbox")."""
    objects, boxes, crowd = [], [], []
    for _, ann in annotations:
        found = check.coco_object_box(ann, entry)
        box = None
        if found is not None:
            x, y, w, h = found
            box = [(x + w / 2) / width, (y + h / 2) / height, w / width, h / height]
        if ann.get(F.COCO_ISCROWD):
            crowd.append(box)
            continue
        objects.append(category_classes[ann.get(F.COCO_CATEGORY_ID, 0)])
        boxes.append(box)
    return objects, boxes, crowd


@dataclass
class _Result:
    record: bytes = None
    problems: list = field(default_factory=list)  # [(where, kind, detail)]
    crowd: int = 0
    reencoded: bool = False


def _record(image_path, name, objects, boxes, quality, seen=None):
    from ..datasets.records import encode_example

    data, width, height, reencoded = stored_image(image_path, quality, seen)
    return encode_example(data, name, width, height, objects, boxes), reencoded


def _pack_json(job, quality):
    path, images_dir, labels = job
    report, seen = check.Report(echo=False), {}
    check.check_annotation_file(report, path, images_dir, labels, seen)
    if report.problems:
        return _Result(problems=report.problems)
    doc = seen["doc"]
    name = os.path.basename(doc[F.JSON_IMAGE])
    objects, boxes = json_boxes(doc)
    record, reencoded = _record(os.path.join(images_dir, name), name, objects, boxes, quality,
                                seen.get("image"))
    return _Result(record, reencoded=reencoded)


def _pack_coco(job, quality):
    plan, sample = job
    report, seen = check.Report(echo=False), {}
    check.check_coco_sample(report, plan, sample, boxes=True, seen=seen)
    if report.problems:
        return _Result(problems=report.problems)
    name = sample.entry[F.COCO_FILE_NAME]
    path = os.path.join(plan.images_dir, name)
    width, height = seen["image"][3]
    objects, boxes, crowd = coco_boxes(sample.annotations, plan.category_classes, width, height,
                                       sample.entry)
    record, reencoded = _record(path, name, objects, boxes, quality, seen["image"])
    return _Result(record, crowd=len(crowd), reencoded=reencoded)


_PACKERS = {"json": _pack_json, "coco": _pack_coco}


def _pack_one(kind, job, quality, where):
    try:
        return _PACKERS[kind](job, quality)
    except Exception as e:  # noqa: BLE001 -- one bad sample never stops the others
        return _Result(problems=[(where, "image-undecodable" if isinstance(e, OSError)
                                  else "annotation-malformed",
                                  "{}: {}".format(type(e).__name__, e))])


def _pack_chunk(kind, jobs, quality):
    """Worker task: the results of a run of samples, in order."""
    return [_pack_one(kind, job, quality, where) for job, where in jobs]


def _worker_init():
    # Ctrl-C reaches the whole process group; the main process alone
    # decides what happens (it stops the workers and cleans up).
    signal.signal(signal.SIGINT, signal.SIG_IGN)


# -- planning ---------------------------------------------------------------------

@dataclass
class _Job:
    key: str        # stable name: orders the samples and picks the validation ones
    where: str      # what a problem line names
    payload: object
    size: int       # estimated bytes, for balancing the shards


def _digest(key):
    return hashlib.sha256(key.encode("utf-8", "surrogateescape")).digest()


def _fraction(key):
    return int.from_bytes(_digest(key)[:8], "big") / 2.0 ** 64


def _shuffled(jobs):
    # A fixed shuffle: a reader's shuffle buffer then sees mixed samples even
    # when the files are sorted by class or by recording session.
    return sorted(jobs, key=lambda j: (_digest(j.key), j.where))


def split_off_validation(jobs, fraction):
    """(train, validation) by a stable hash of each sample's name: the same
    names always go the same way, whatever else the dataset holds. At least
    one sample goes each way when there are two or more."""
    val = [j for j in jobs if _fraction(j.key) < fraction]
    train = [j for j in jobs if _fraction(j.key) >= fraction]
    if not val and len(train) > 1:
        first = min(train, key=lambda j: _fraction(j.key))
        val, train = [first], [j for j in train if j is not first]
    if not train and len(val) > 1:
        last = max(val, key=lambda j: _fraction(j.key))
        train, val = [last], [j for j in val if j is not last]
    return train, val


def _file_size(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def _mean_file_size(folder):
    sizes = []
    try:
        with os.scandir(folder) as it:
            for entry in it:
                if entry.is_file():
                    sizes.append(entry.stat().st_size)
    except OSError:
        pass
    return sum(sizes) // len(sizes) if sizes else 0


def _fail_on_description(report):
    bad = [(w, k, d) for w, k, d in report.problems if k == "description"]
    if bad:
        raise PackError("the dataset cannot be packed:\n" + "\n".join(
            "  " + check.problem_line(*p) for p in bad))


def _json_jobs(report, split, images_dir, ann_dir, labels, required):
    files = check.json_split_files(report, split, images_dir, ann_dir, required)
    _fail_on_description(report)
    # The picture a file names is only known once it is read: the folder's
    # mean file size stands in for each sample's.
    size = _mean_file_size(images_dir)
    return [_Job(os.path.basename(p), p, (p, images_dir, labels), size) for p in files]


def plan_segmentation(src, val_fraction, log):
    """(classes, {split: [_Job]}, kind, orphan problems) of a folder pair, a
    segmentation YAML file or a COCO file."""
    report = check.Report(echo=False)
    if src.kind == "folders":
        labels = list(src.classes) if src.classes else None
        if labels is None:
            from .sources import read_json_labels

            labels = read_json_labels(src.annotations)
            print("note: no --classes given; the classes are named {}".format(
                ", ".join(labels)), file=log)
        jobs = _json_jobs(report, "train", src.images, src.annotations, labels, True)
        train, val = split_off_validation(jobs, val_fraction)
        return labels, {"train": train, "validation": val}, "json", []
    if src.kind == "yaml":
        labels, splits = check.segmentation_yaml_splits(report, src)
        _fail_on_description(report)
        out = {}
        for split, images, annotations in splits:
            out[split] = _json_jobs(report, split, images, annotations, labels, True)
        return [str(c) for c in labels], out, "json", []
    plan = check.coco_plan(report, src)
    _fail_on_description(report)
    if plan is None:
        raise PackError("the COCO file cannot be used:\n" + "\n".join(
            "  " + check.problem_line(*p) for p in report.problems))
    # The problems of the file as a whole and of image entries are already
    # reported; those of annotations that belong to no image are found here.
    orphan_report = check.Report(echo=False)
    for k, ann in plan.orphans:
        check._check_one_coco_annotation(orphan_report, plan, k, ann, {}, [])
    light = check.CocoPlan(plan.path, plan.images_dir, plan.category_ids, [], [], plan.labels,
                           plan.category_classes)
    jobs = []
    for sample in plan.samples:
        name = sample.entry[F.COCO_FILE_NAME]
        jobs.append(_Job("{}#{}".format(name, sample.position),
                         "{} images[{}]".format(plan.path, sample.position), (light, sample),
                         _file_size(os.path.join(plan.images_dir, name))))
    train, val = split_off_validation(jobs, val_fraction)
    skipped = [p for p in report.problems]
    return ([str(c) for c in plan.labels], {"train": train, "validation": val}, "coco",
            skipped + orphan_report.problems)


def assign_shards(sizes, shard_bytes):
    """The shard of each sample, in order: about ``shard_bytes`` each (at
    least one shard), consecutive runs of samples balanced by bytes."""
    total = sum(sizes)
    n = max(1, int(round(total / shard_bytes))) if total else 1
    n = min(n, max(1, len(sizes)))
    out, running = [], 0
    for size in sizes:
        out.append(min(n - 1, int(running * n // total)) if total else 0)
        running += size
    return out, n


# -- writing --------------------------------------------------------------------

def open_writer(path):
    """A new record file (datasets._recordio.RecordWriter)."""
    from ..datasets._recordio import RecordWriter

    return RecordWriter(path)


class _ShardSet:
    """The shards of one split, under temporary names until :meth:`finish`."""

    def __init__(self, folder, count):
        self.folder = folder
        self.count = count
        self.current = None
        self.index = -1
        self.temps = []
        self.records = 0
        self.bytes = 0

    def temp_name(self, index):
        return os.path.join(self.folder, TEMP_PREFIX + SHARD_NAME.format(index, self.count) + TEMP_SUFFIX)

    def final_name(self, index):
        return os.path.join(self.folder, SHARD_NAME.format(index, self.count))

    def _open(self, index):
        while self.index < index:
            self._close_current()
            self.index += 1
            path = self.temp_name(self.index)
            self.temps.append(path)
            self.current = open_writer(path)

    def _close_current(self):
        if self.current is not None:
            self.bytes += self.current.bytes
            self.current.close(True)
            self.current = None

    def write(self, index, record):
        self._open(index)
        self.current.write(record)
        self.records += 1

    def close(self):
        # Shards whose samples were all skipped still exist, so the names
        # count as they say.
        self._open(self.count - 1)
        self._close_current()

    def finish(self):
        for k, temp in enumerate(self.temps):
            os.replace(temp, self.final_name(k))

    def abandon(self):
        if self.current is not None:
            try:
                self.current.close(False)
            except OSError:
                pass
            self.current = None
        for temp in self.temps:
            try:
                os.unlink(temp)
            except OSError:
                pass


def _existing_dataset(out):
    found = []
    if os.path.exists(os.path.join(out, DESCRIPTION_FILE)):
        found.append(DESCRIPTION_FILE)
    for split in SPLITS:
        folder = os.path.join(out, split)
        if os.path.isdir(folder) and F.record_files(folder):
            found.append(os.path.join(split, F.RECORD_PATTERN))
    return found


def _clear(out):
    """Remove the temporary files an interrupted pack left."""
    for folder in [out] + [os.path.join(out, split) for split in SPLITS]:
        if not os.path.isdir(folder):
            continue
        for name in os.listdir(folder):
            if name.startswith(TEMP_PREFIX) and name.endswith(TEMP_SUFFIX):
                os.unlink(os.path.join(folder, name))


def _fsync_dir(path):
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


def _write_description(out, classes, counts):
    import yaml

    doc = {"type": "tfrecord", "classes": list(classes)}
    for split in SPLITS:
        doc[split] = {"path": os.path.join(out, split), "samples": counts[split]}
    path = os.path.join(out, DESCRIPTION_FILE)
    temp = os.path.join(out, TEMP_PREFIX + DESCRIPTION_FILE + TEMP_SUFFIX)
    with open(temp, "w", encoding="utf-8") as f:
        yaml.safe_dump(doc, f, sort_keys=False, allow_unicode=True)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temp, path)
    _fsync_dir(out)
    return path


# -- the stream of results ----------------------------------------------------------

def _parallel_results(pool, kind, jobs, quality, workers):
    """Results in sample order. While the next result is not ready (the
    workers are starting, or all busy) this process packs the next chunk
    itself instead of waiting. Unfinished work queued to the workers is kept
    at two chunks a worker, so none of them idles behind a slow chunk; the
    results held here are bounded, so a slow disk does not pile them up in
    memory."""
    chunks = [[(j.payload, j.where) for j in jobs[i:i + CHUNK]] for i in range(0, len(jobs), CHUNK)]
    queued_limit = max(2, 2 * workers)
    held_limit = 4 * queued_limit
    pending = deque()  # futures, and lists of results made here
    following = 0

    def queued():
        return sum(1 for p in pending if not isinstance(p, list) and not p.done())

    while following < len(chunks) or pending:
        while following < len(chunks) and len(pending) < held_limit and queued() < queued_limit:
            pending.append(pool.submit(_pack_chunk, kind, chunks[following], quality))
            following += 1
        head = pending[0]
        if isinstance(head, list) or head.done():
            pending.popleft()
            yield from (head if isinstance(head, list) else head.result())
        elif following < len(chunks) and len(pending) < held_limit:
            pending.append(_pack_chunk(kind, chunks[following], quality))
            following += 1
        else:
            yield from pending.popleft().result()


def _serial_results(kind, jobs, quality):
    for job in jobs:
        yield _pack_one(kind, job.payload, quality, job.where)


def _tfrecord_results(src, split, files, nclasses):
    """Re-encoded records of one split of a TFRecord dataset, read once, in
    file order (this needs TensorFlow, so it runs in this process)."""
    from .sources import import_tensorflow
    from ..datasets.records import encode_example

    tf = import_tensorflow()
    relay = check.Report(echo=False)
    for path in files:
        for _, where, data in check.file_records(relay, tf, path):
            report = check.Report(echo=False)
            sample, shape = check.check_record(report, tf, where, data, nclasses)
            if report.problems:
                yield _Result(problems=report.problems)
                continue
            values = {k: v for k, v in sample.items()}
            objects = tf.sparse.to_dense(values["objects"]).numpy().tolist()
            boxes = tf.sparse.to_dense(values["bboxes"]).numpy().tolist()
            yield _Result(encode_example(values["image"].numpy(), values["image_name"].numpy(),
                                         shape[1], shape[0], objects, boxes))
        # Damage that stops a file is a problem without a sample to skip.
        for p in relay.problems:
            yield _Result(problems=[p])
        relay.problems.clear()


# -- the command --------------------------------------------------------------------

def _skip_line(problems):
    where, kind, detail = problems[0]
    line = "skipped: " + check.problem_line(where, kind, detail)
    if len(problems) > 1:
        line += " (and {} more problem{})".format(len(problems) - 1, "s" if len(problems) > 2 else "")
    return line


def _resolve(description, images, classes):
    from . import sources

    if isinstance(description, (str, os.PathLike)):
        description = [description]
    return sources.resolve([os.fspath(p) for p in description], images=images, classes=classes)


def pack(description, out, images=None, classes=None, shard_mb=DEFAULT_SHARD_MB,
         quality=DEFAULT_QUALITY, val_fraction=DEFAULT_VAL_FRACTION, strict=False,
         overwrite=False, workers=None, log=None):
    """Pack a dataset into a checked, sharded TFRecord detection dataset.

    ``description``: as for ``python -m quorvane.trellisk check``: a
    segmentation YAML file, a COCO JSON file (with ``images``, its image
    folder), an annotations folder (with ``images``) or a pair [images
    folder, annotations folder] (with ``classes``, the class names), or a
    TFRecord description to re-shard.

    Writes ``out/train/part-NNNNN-of-MMMMM.tfrecord``, the same under
    ``out/validation`` and ``out/tfrecord.yaml`` (type, classes, the two
    folders and their exact "samples" counts), which TFRecordDatasetYaml
    reads. Returns a :class:`Summary`.

    - Boxes: a JSON annotation's object is boxed by the extent of all its
      parts, with the class of its first part; a COCO object by its "bbox",
      with the class its category has in the COCO reader (the position of the
      category in its labels); COCO crowd objects are left out and counted.
    - Pictures: a JPEG file (colour or greyscale) goes in byte for byte;
      anything else (PNG, CMYK JPEG, ...) is converted to RGB and encoded once
      as JPEG at ``quality`` (default 95).
    - Splits: a YAML or TFRecord description keeps its own; a COCO file or a
      folder pair sends the share ``val_fraction`` (default 0.1) of its
      samples to validation, chosen by a stable hash of the file names, so
      the choice never changes between runs.
    - Shards: about ``shard_mb`` megabytes each (default 100), balanced by
      bytes; the samples are in a fixed shuffled order (a hash of their
      names), so the same input always gives the same files, byte for byte.
    - A sample in which check finds a problem is left out with one line on
      ``log`` (default stderr); ``strict`` stops at the first instead. A
      dataset or a split that yields no sample at all is an error.
    - ``out`` may not hold a dataset already unless ``overwrite``. Shards are
      written under hidden temporary names and renamed when all are done;
      the description comes last, so an interrupted pack leaves nothing a
      dataset would read.
    - ``workers``: processes that check and encode (default: one per core).
      Being processes, they import the caller's main module afresh: a script
      that calls pack must keep its own work under ``if __name__ ==
      "__main__":``, and heavy imports (TensorFlow) inside its functions,
      or each worker repeats them. The command has neither concern.

    Raises PackError (a DatasetError) for refusals and failures, UsageError
    for bad arguments, KeyboardInterrupt after cleaning up when interrupted.
    """
    log = log if log is not None else sys.stderr
    if not (isinstance(shard_mb, (int, float)) and shard_mb > 0):
        raise UsageError("--shard-mb must be more than 0, got {}".format(shard_mb))
    if not (isinstance(quality, int) and 1 <= quality <= 100):
        raise UsageError("--quality is a JPEG quality from 1 to 100, got {}".format(quality))
    if not (0 < val_fraction < 1):
        raise UsageError("--val-fraction must be between 0 and 1 (both excluded), got {}".format(
            val_fraction))
    src = _resolve(description, images, classes)
    out = os.path.abspath(os.fspath(out))
    if os.path.exists(out) and not os.path.isdir(out):
        raise PackError("{} exists and is not a folder".format(out))
    existing = _existing_dataset(out) if os.path.isdir(out) else []
    if existing and not overwrite:
        raise PackError("{} already holds a dataset ({}); pass --overwrite to replace it".format(
            out, ", ".join(existing)))
    if src.doc_error:
        raise PackError("{}: {}".format(src.path, src.doc_error))
    workers = workers or os.cpu_count() or 1

    summary = Summary(out)
    pre_problems = []
    nclasses = None
    if src.kind == "tfrecord":
        report = check.Report(out=log)
        splits = check.tfrecord_splits(report, src)
        _fail_on_description(report)
        classes_ = [str(c) for c in src.doc.get("classes")]
        nclasses = len(classes_)
        plans = {}
        for split, folder, files, _ in splits:
            sizes = [_file_size(p) for p in files]
            plans[split] = (files, sizes)
        kind = "tfrecord"
    else:
        classes_, jobs, kind, pre_problems = plan_segmentation(src, val_fraction, log)
        plans = {split: _shuffled(js) for split, js in jobs.items()}
    summary.classes = classes_
    if not any(len(plans[s][0] if kind == "tfrecord" else plans[s]) for s in plans):
        raise PackError("{}: the dataset has no samples to pack".format(src.title()))

    # Image entries that cannot be read skip their sample; annotations that
    # belong to no image skip nothing but are problems all the same.
    for where, k, detail in pre_problems:
        if strict:
            raise PackError("stopped at the first problem (--strict): " +
                            check.problem_line(where, k, detail))
        summary.problems[k] += 1
        summary.orphans += 1
        progress.write("left out: " + check.problem_line(where, k, detail), file=log)

    os.makedirs(out, exist_ok=True)
    # An old dataset (--overwrite) stays whole and readable until the new
    # one is complete.
    _clear(out)
    shard_bytes = float(shard_mb) * 1e6
    shard_sets = []
    pool = None
    try:
        if kind != "tfrecord" and workers > 1:
            pool = ProcessPoolExecutor(max_workers=workers, mp_context=get_context("spawn"),
                                       initializer=_worker_init)
        for split in SPLITS:
            folder = os.path.join(out, split)
            os.makedirs(folder, exist_ok=True)
            if kind == "tfrecord":
                files, sizes = plans[split]
                total = sum(sizes)
                n = max(1, int(round(total / shard_bytes))) if total else 1
                results = _tfrecord_results(src, split, files, nclasses)
                shard_of = _running_shard(total, n)
                count = None
            else:
                js = plans.get(split, [])
                shard_list, n = assign_shards([j.size for j in js], shard_bytes)
                results = (_parallel_results(pool, kind, js, quality, workers) if pool
                           else _serial_results(kind, js, quality))
                shard_of = iter(shard_list).__next__
                count = len(js)
            shards = _ShardSet(folder, n)
            shard_sets.append(shards)
            result = summary.splits[split] = SplitResult()
            bar = progress.bar(total=count, desc="{} samples".format(split), unit="sample",
                               file=sys.stderr)
            try:
                for r in results:
                    index = shard_of(r) if kind == "tfrecord" else shard_of()
                    bar.update(1)
                    if r.problems:
                        if strict:
                            raise PackError("stopped at the first problem (--strict): " +
                                            check.problem_line(*r.problems[0]))
                        result.skipped += 1
                        for p in r.problems:
                            summary.problems[p[1]] += 1
                        progress.write(_skip_line(r.problems), file=log)
                        continue
                    shards.write(index, r.record)
                    summary.crowd += r.crowd
                    summary.reencoded += r.reencoded
                shards.close()
            finally:
                bar.close()
            result.samples, result.shards, result.bytes = shards.records, n, shards.bytes
            if not result.samples:
                raise PackError("the {} split has no sample left to pack{}".format(
                    split, " (all were skipped)" if result.skipped else ""))
        if pool is not None:
            pool.shutdown()
            pool = None
        # Every shard is complete: the old dataset (with --overwrite) goes,
        # the new shards take their names, the description comes last.
        if overwrite:
            _clear_dataset(out)
        for shards in shard_sets:
            shards.finish()
            _fsync_dir(shards.folder)
        summary.description = _write_description(
            out, classes_, {s: summary.splits[s].samples for s in SPLITS})
    except BaseException as e:
        if pool is not None:
            pool.shutdown(wait=True, cancel_futures=True)
        for shards in shard_sets:
            shards.abandon()
        if isinstance(e, KeyboardInterrupt):
            print("pack interrupted: the partial shards were removed; {} holds no new "
                  "dataset".format(out), file=log)
            raise
        if isinstance(e, OSError):
            raise PackError("pack failed while writing {}: {}; the partial shards were removed "
                            "and no dataset was written".format(
                                e.filename or out, e.strerror or e)) from e
        raise
    _print_summary(summary, log)
    return summary


def _clear_dataset(out):
    """Remove an old dataset, its description first (so that it no longer
    looks complete), then its record files."""
    try:
        os.unlink(os.path.join(out, DESCRIPTION_FILE))
    except FileNotFoundError:
        pass
    for split in SPLITS:
        folder = os.path.join(out, split)
        for path in F.record_files(folder):
            os.unlink(path)


def _running_shard(total, n):
    """For a stream whose sizes come as it goes: the shard of each record by
    the bytes of the source read so far."""
    state = {"bytes": 0}

    def shard_of(result):
        index = min(n - 1, int(state["bytes"] * n // total)) if total else 0
        if result.record is not None:
            state["bytes"] += len(result.record)
        return index

    return shard_of


def _print_summary(summary, log):
    parts = []
    for split in SPLITS:
        r = summary.splits[split]
        parts.append("{} {} samples in {} shard{} ({:.1f} MB)".format(
            split, r.samples, r.shards, "" if r.shards == 1 else "s", r.bytes / 1e6))
    print("packed: " + ", ".join(parts), file=log)
    skipped = sum(r.skipped for r in summary.splits.values())
    if skipped or summary.problems:
        kinds = ", ".join("{} {}".format(check.KINDS[k], n) for k, n in summary.problems.items())
        orphans = ", {} entries that belong to no sample".format(summary.orphans) if summary.orphans else ""
        print("not packed: {} sample{}{} (problems: {})".format(
            skipped, "" if skipped == 1 else "s", orphans, kinds), file=log)
    if summary.crowd:
        print("left out: {} crowd objects".format(summary.crowd), file=log)
    if summary.reencoded:
        print("encoded as JPEG: {} pictures that were not JPEG files".format(summary.reencoded),
              file=log)
    print("description: {}".format(summary.description), file=log)


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
    pack(args.description, args.out, images=args.images, classes=args.classes,
         strict=args.strict, overwrite=args.overwrite, workers=args.workers, **given)
    return 0
