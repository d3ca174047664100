"""Turn a dataset into a checked, sharded TFRecord detection dataset (the
``pack`` command).

Every sample is read through its layout's ``Source``, which checks it as
``validate`` does; a sample with a problem is left out with one line saying
why. The rest become tf.train.Example records
with exactly the features the TFRecord datasets read, written into shards
``DIR/train/part-00000-of-00004.tfrecord`` ... and ``DIR/validation/...``,
and ``DIR/tfrecord.yaml`` describes them. The work is spread over worker
processes (which never import TensorFlow); the output depends only on the
input and the options, never on the timing of the workers.

Nothing half-written looks finished: the new dataset is written whole in
a hidden staging folder and put in place by a few renames, which a failure,
Ctrl-C or a killed process never leaves half done (``_staging``).
"""

import hashlib
import io
import os
import sys
from collections import Counter, deque
from dataclasses import dataclass, field, replace

from . import _staging, _workers, progress
from .datasets import formats as F
from .errors import DatasetError, UsageError
from .sources import open_source
from .sources.base import Problem, ProblemKind, complete

# Object stores and the tf.data readers do best with files of a hundred
# megabytes or more: big enough that opening one costs little next to
# reading it, small enough to spread over many readers.
DEFAULT_SHARD_MB = 100
# Pictures that are not JPEG files are encoded once at this quality.
DEFAULT_QUALITY = 95
# The share of a COCO file's or a folder pair's samples that go to validation.
DEFAULT_VAL_FRACTION = 0.1
DESCRIPTION_FILE = "tfrecord.yaml"
SPLITS = tuple(F.TFRECORD_YAML.SECTIONS)
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


class PackInterrupted(KeyboardInterrupt):
    """Ctrl-C or SIGTERM stopped pack; the message says what the output
    folder holds."""


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

def stored_image(data, quality=DEFAULT_QUALITY):
    """(JPEG bytes, width, height, re-encoded) of a picture's file bytes: a
    JPEG file the readers decode as it is goes in byte for byte; anything
    else is converted to RGB as the segmentation readers convert it and
    encoded once at ``quality``."""
    from PIL import Image

    with Image.open(io.BytesIO(data)) as im:
        if im.format == "JPEG" and im.mode in _PASS_MODES:
            return data, im.size[0], im.size[1], False
        rgb = im.convert("RGB")
    buf = io.BytesIO()
    rgb.save(buf, format="JPEG", quality=quality)
    return buf.getvalue(), rgb.size[0], rgb.size[1], True


def record_boxes(objects):
    """(labels, boxes, crowd) of a sound sample's objects: boxes as records
    hold them (x-centre, y-centre, width, height in fractions of the
    picture); crowd objects are left out and counted."""
    labels, boxes, crowd = [], [], 0
    for obj in objects:
        if obj.crowd:
            crowd += 1
            continue
        x1, y1, x2, y2 = obj.box
        labels.append(int(obj.class_id))
        boxes.append([(x1 + x2) / 2, (y1 + y2) / 2, x2 - x1, y2 - y1])
    return labels, boxes, crowd


def _clip_to_picture(points):
    """A polygon (fractions of the picture) cut to the picture, 0..1 on both
    axes, edge by edge: the part of it that can be painted. A polygon wholly
    outside leaves nothing."""
    ring = [(float(x), float(y)) for x, y in points]
    # Most outlines lie inside already, and cutting changes nothing then:
    # one pass instead of four.
    if all(0.0 <= x <= 1.0 and 0.0 <= y <= 1.0 for x, y in ring):
        return ring
    for axis, bound, keep in ((0, 0.0, 1), (0, 1.0, -1), (1, 0.0, 1), (1, 1.0, -1)):
        out = []
        for i, p in enumerate(ring):
            q = ring[(i + 1) % len(ring)]
            dp, dq = keep * (p[axis] - bound), keep * (q[axis] - bound)
            if dp >= 0:
                out.append(p)
            if (dp < 0 < dq) or (dq < 0 < dp):
                t = dp / (dp - dq)
                cut = (p[0] + t * (q[0] - p[0]), p[1] + t * (q[1] - p[1]))
                out.append(tuple(bound if k == axis else min(max(v, 0.0), 1.0) for k, v in enumerate(cut)))
        ring = out
    return ring


def record_outlines(objects):
    """The outlines of a sound sample's objects as records hold them: one
    (class, parts) per object that record_boxes keeps, parts cut to the
    picture; None when no object has an outline or a region (a layout of
    boxes only packs as it always has)."""
    kept = [obj for obj in objects if not obj.crowd]
    if not any(obj.parts or obj.region for obj in kept):
        return None
    outlines = []
    for obj in kept:
        parts = [ring for ring in (_clip_to_picture(part) for part in obj.parts) if ring]
        outlines.append((int(obj.class_id), parts))
    return outlines


def record_regions(objects):
    """The RLE regions of a sound sample's objects as records hold them:
    (position among the objects record_outlines keeps, compressed text)."""
    kept = [obj for obj in objects if not obj.crowd]
    return [(m, obj.region) for m, obj in enumerate(kept) if obj.region]


@dataclass
class _Result:
    record: bytes = None
    problems: list = field(default_factory=list)  # [Problem]
    crowd: int = 0
    reencoded: bool = False
    stands_for_sample: bool = True


def pack_sample(sample, quality=DEFAULT_QUALITY):
    """The record of one sample read by a source, or its problems."""
    from .datasets.records import encode_example

    if sample.image is None and not sample.problems:
        sample.problems.append(Problem(ProblemKind.IMAGE_MISSING, sample.name, "no picture was read"))
    if sample.problems:
        return _Result(problems=list(sample.problems), stands_for_sample=sample.stands_for_sample)
    data, width, height, reencoded = stored_image(sample.image, quality)
    labels, boxes, crowd = record_boxes(sample.objects)
    record = encode_example(data, sample.name, width, height, labels, boxes,
                            outlines=record_outlines(sample.objects),
                            regions=record_regions(sample.objects))
    return _Result(record, crowd=crowd, reencoded=reencoded)


def _pack_one(source, ref, quality):
    try:
        return pack_sample(source.read(ref, image=True), quality)
    except Exception as e:  # noqa: BLE001 -- one bad sample never stops the others
        kind = ProblemKind.IMAGE_UNDECODABLE if isinstance(e, OSError) else ProblemKind.ANNOTATION_MALFORMED
        return _Result(problems=[Problem(kind, ref.where or ref.name, "{}: {}".format(type(e).__name__, e))])


# The source a worker process reads from, handed over once when it starts.
_SOURCE = None


def _pack_chunk(refs, quality, source=None):
    """Worker task: the results of a run of samples, in order."""
    return [_pack_one(source or _SOURCE, ref, quality) for ref in refs]


def _worker_init(source):
    global _SOURCE
    _SOURCE = source


# -- planning ---------------------------------------------------------------------

def _digest(key):
    return hashlib.sha256(key.encode("utf-8", "surrogateescape")).digest()


def _fraction(key):
    return int.from_bytes(_digest(key)[:8], "big") / 2.0 ** 64


def _shuffled(refs):
    # A fixed shuffle: a reader's shuffle buffer then sees mixed samples even
    # when the files are sorted by class or by recording session.
    return sorted(refs, key=lambda r: (_digest(r.name), r.where))


def split_off_validation(refs, fraction):
    """(train, validation) by a stable hash of each sample's name: the same
    names always go the same way, whatever else the dataset holds. At least
    one sample goes each way when there are two or more."""
    val = [r for r in refs if _fraction(r.name) < fraction]
    train = [r for r in refs if _fraction(r.name) >= fraction]
    if not val and len(train) > 1:
        first = min(train, key=lambda r: _fraction(r.name))
        val, train = [first], [r for r in train if r is not first]
    if not train and len(val) > 1:
        last = max(val, key=lambda r: _fraction(r.name))
        train, val = [last], [r for r in val if r is not last]
    return [replace(r, split="train") for r in train], [replace(r, split="validation") for r in val]


def _problem_lines(problems):
    return "\n".join("  " + p.line() for p in problems)


def plan(source, val_fraction):
    """{split: [SampleRef]} of both splits: a layout with one split sends the
    share ``val_fraction`` of it to validation. Raises PackError when the
    description cannot be used."""
    problems = source.problems()
    bad = [p for p in problems if p.kind is ProblemKind.DESCRIPTION]
    if bad:
        raise PackError("the dataset cannot be packed:\n" + _problem_lines(bad))
    splits = source.splits()
    if not any(splits.values()) and problems:
        raise PackError("{} cannot be used:\n{}".format(source.title(), _problem_lines(problems)))
    if set(splits) == {"train"}:
        train, val = split_off_validation(splits["train"], val_fraction)
        splits = {"train": train, "validation": val}
    if source.parallel:
        splits = {split: _shuffled(refs) for split, refs in splits.items()}
    return {split: list(splits.get(split, ())) for split in SPLITS}


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
    from .datasets._recordio import RecordWriter

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


def _write_description(stage, out, classes, counts):
    """Write the description into the staging folder ``stage``; it names
    the split folders of ``out``, where the dataset goes. Returns its final
    path."""
    import yaml

    Y = F.TFRECORD_YAML
    doc = {Y.TYPE: Y.TYPE_VALUE, Y.CLASSES: list(classes)}
    for split in SPLITS:
        doc[split] = {Y.PATH: os.path.join(out, split), Y.SAMPLES: counts[split]}
    stage.write_description(yaml.safe_dump(doc, sort_keys=False, allow_unicode=True))
    return os.path.join(out, DESCRIPTION_FILE)


# -- the stream of results ----------------------------------------------------------

def _parallel_results(pool, source, refs, quality, workers):
    """Results in sample order. While the next result is not ready (the
    workers are starting, or all busy) this process packs the next chunk
    itself instead of waiting. Unfinished work queued to the workers is kept
    at two chunks a worker, so none of them idles behind a slow chunk; the
    results held here are bounded, so a slow disk does not pile them up in
    memory."""
    chunks = [refs[i:i + CHUNK] for i in range(0, len(refs), CHUNK)]
    queued_limit = max(2, 2 * workers)
    held_limit = 4 * queued_limit
    pending = deque()  # futures, and lists of results made here
    following = 0

    def queued():
        return sum(1 for p in pending if not isinstance(p, list) and not p.done())

    while following < len(chunks) or pending:
        while following < len(chunks) and len(pending) < held_limit and queued() < queued_limit:
            pending.append(pool.submit(_pack_chunk, chunks[following], quality))
            following += 1
        head = pending[0]
        if isinstance(head, list) or head.done():
            pending.popleft()
            yield from (head if isinstance(head, list) else head.result())
        elif following < len(chunks) and len(pending) < held_limit:
            pending.append(_pack_chunk(chunks[following], quality, source))
            following += 1
        else:
            yield from pending.popleft().result()


def _serial_results(source, refs, quality):
    for ref in refs:
        yield _pack_one(source, ref, quality)


def _stream_results(source, split, quality):
    """The samples of a layout read as a stream, in order, in this process."""
    for sample in source.samples(split, image=True):
        yield pack_sample(sample, quality)


def _skip_line(problems):
    line = "skipped: " + problems[0].line()
    if len(problems) > 1:
        line += " (and {} more problem{})".format(len(problems) - 1, "s" if len(problems) > 2 else "")
    return line


def pack(description, out, images=None, classes=None, shard_mb=DEFAULT_SHARD_MB,
         quality=DEFAULT_QUALITY, val_fraction=DEFAULT_VAL_FRACTION, strict=False,
         overwrite=False, workers=None, log=None):
    """Pack a dataset into a checked, sharded TFRecord detection dataset.

    ``description``: a ``Source`` (``quorvane.trellisk.sources``), or what
    ``python -m quorvane.trellisk check`` takes: a segmentation YAML file, a
    COCO JSON file (with ``images``, its image folder), an annotations
    folder (with ``images``) or a pair [images folder, annotations folder]
    (with ``classes``, the class names), a TFRecord description to
    re-shard, or any other layout ``sources.LAYOUTS`` recognises.

    Writes ``out/train/part-NNNNN-of-MMMMM.tfrecord``, the same under
    ``out/validation`` and ``out/tfrecord.yaml`` (type, classes, the two
    folders and their exact "samples" counts), which TFRecordDatasetYaml
    reads. Returns a :class:`Summary`.

    - Boxes: the objects the source reads (a JSON annotation's object is
      boxed by the extent of all its parts, with the class of its first
      part; a COCO object by its "bbox", or the extent of its outline when it
      has none, with the class its category has in the COCO reader); crowd
      objects are left out and counted.
    - Outlines: when the layout has them (JSON folders, segmentation YAML,
      COCO polygons and RLE regions), every kept object's class and outline
      parts go beside the boxes (``formats.OUTLINE_FEATURES``), cut to the
      picture, and a COCO object's RLE region as its compressed text at the
      picture's size (``formats.REGION_FEATURES``); the
      detection readers then keep boxes tight through the augmentation, and
      SegmentationDatasetTFRecord reads the segmentation samples. A layout
      of boxes only (a TFRecord dataset re-sharded) packs as before.
    - Pictures: a JPEG file (colour or greyscale) goes in byte for byte;
      anything else (PNG, CMYK JPEG, ...) is converted to RGB and encoded once
      as JPEG at ``quality`` (default 95).
    - Splits: a layout with both splits keeps them; one with a single
      split (a COCO file, a folder pair) sends the share ``val_fraction`` (default 0.1) of its
      samples to validation, chosen by a stable hash of the file names, so
      the choice never changes between runs.
    - Shards: about ``shard_mb`` megabytes each (default 100), balanced by
      bytes; the samples are in a fixed shuffled order (a hash of their
      names), so the same input always gives the same files, byte for byte.
    - A sample in which check finds a problem is left out with one line on
      ``log`` (default stderr); ``strict`` stops at the first instead. A
      dataset or a split that yields no sample at all is an error.
    - ``out`` may not hold a dataset already unless ``overwrite``. The new
      dataset is written whole in the hidden folder ``out/.pack-staging``,
      then put in place of the old one by a few renames: whatever stops
      pack (an error, a full disk, Ctrl-C, SIGTERM, SIGKILL), ``out`` holds
      either what it held before or the complete new dataset. Ctrl-C during
      the renames waits for them. A killed pack's leftovers are its own: the
      next pack into ``out`` clears them (putting the old dataset back when
      the renames were under way) and needs no ``overwrite`` for them.
    - ``workers``: processes that check and encode (default: one per core).
      Being processes, they import the caller's main module afresh: a script
      that calls pack must keep its own work under ``if __name__ ==
      "__main__":``, and heavy imports (TensorFlow) inside its functions,
      or each worker repeats them. The command has neither concern.

    Raises PackError (a DatasetError) for refusals and failures, UsageError
    for bad arguments, PackInterrupted (a KeyboardInterrupt) after cleaning
    up when interrupted before the new dataset was complete.
    """
    log = log if log is not None else sys.stderr
    if not (isinstance(shard_mb, (int, float)) and shard_mb > 0):
        raise UsageError("--shard-mb must be more than 0, got {}".format(shard_mb))
    if not (isinstance(quality, int) and 1 <= quality <= 100):
        raise UsageError("--quality is a JPEG quality from 1 to 100, got {}".format(quality))
    if not (0 < val_fraction < 1):
        raise UsageError("--val-fraction must be between 0 and 1 (both excluded), got {}".format(
            val_fraction))
    source = complete(description) if hasattr(description, "splits") else open_source(
        description, images=images, classes=classes)
    out = os.path.abspath(os.fspath(out))
    if os.path.exists(out) and not os.path.isdir(out):
        raise PackError("{} exists and is not a folder".format(out))
    if os.path.isdir(out):
        _recover(out, log)
    existing = _existing_dataset(out) if os.path.isdir(out) else []
    if existing and not overwrite:
        raise PackError("{} already holds a dataset ({}); pass --overwrite to replace it".format(
            out, ", ".join(existing)))
    workers = workers or os.cpu_count() or 1

    plans = plan(source, val_fraction)
    summary = Summary(out)
    summary.classes = [str(c) for c in source.classes]
    if not source.classes_given:
        print("note: no --classes given; the classes are named {}".format(
            ", ".join(summary.classes)), file=log)
    if not any(plans.values()):
        raise PackError("{}: the dataset has no samples to pack".format(source.title()))

    # Image entries that cannot be read skip their sample; entries that
    # belong to no sample skip nothing but are problems all the same.
    for p in source.problems() + source.leftovers():
        if strict:
            raise PackError("stopped at the first problem (--strict): " + p.line())
        summary.problems[p.kind] += 1
        summary.orphans += 1
        progress.write("left out: " + p.line(), file=log)

    os.makedirs(out, exist_ok=True)
    # An old dataset (--overwrite) stays whole and readable until the new
    # one is complete.
    _clear(out)
    stage = _staging.Staging(out, SPLITS, DESCRIPTION_FILE)
    shard_bytes = float(shard_mb) * 1e6
    shard_sets = []
    pool = None
    try:
        stage.prepare()
        if source.parallel and workers > 1:
            # Workers leave Ctrl-C to this process and end when it dies.
            pool = _workers.Pool(workers, _worker_init, (source,))
        for split in SPLITS:
            os.makedirs(os.path.join(out, split), exist_ok=True)
            folder = stage.folder(split)
            refs = plans[split]
            if source.parallel:
                shard_list, n = assign_shards([r.size for r in refs], shard_bytes)
                results = (_parallel_results(pool, source, refs, quality, workers) if pool
                           else _serial_results(source, refs, quality))
                next_shard = iter(shard_list).__next__
                shard_of = lambda result: next_shard()  # noqa: E731
                count = len(refs)
            else:
                # A stream: the shard of each record by the bytes of the
                # source read so far.
                total = sum(r.size for r in refs)
                n = max(1, int(round(total / shard_bytes))) if total else 1
                results = _stream_results(source, split, quality)
                shard_of = _running_shard(total, n)
                count = None
            shards = _ShardSet(folder, n)
            shard_sets.append(shards)
            result = summary.splits[split] = SplitResult()
            bar = progress.bar(total=count, desc="{} samples".format(split), unit="sample",
                               file=sys.stderr)
            with bar:
                for r in results:
                    index = shard_of(r)
                    bar.update(1)
                    if r.problems:
                        if strict:
                            raise PackError("stopped at the first problem (--strict): " +
                                            r.problems[0].line())
                        result.skipped += 1
                        for p in r.problems:
                            summary.problems[p.kind] += 1
                        progress.write(_skip_line(r.problems), file=log)
                        continue
                    shards.write(index, r.record)
                    summary.crowd += r.crowd
                    summary.reencoded += r.reencoded
                shards.close()
            for p in source.split_problems(split):
                # The description's own count is replaced by the true one.
                progress.write("note: " + p.line(), file=log)
            result.samples, result.shards, result.bytes = shards.records, n, shards.bytes
            if not result.samples:
                raise PackError("the {} split has no sample left to pack{}".format(
                    split, " (all were skipped)" if result.skipped else ""))
        if pool is not None:
            pool.shutdown()
            pool = None
        # Every shard is complete: they take their names, the description
        # comes last, and the whole replaces the old dataset (--overwrite).
        for shards in shard_sets:
            shards.finish()
        summary.description = _write_description(
            stage, out, summary.classes, {s: summary.splits[s].samples for s in SPLITS})
        with _staging.signals_held() as held:
            stage.commit()
            _print_summary(summary, log)
            if held:
                print("pack interrupted once the new dataset was complete: {} holds it".format(
                    out), file=log)
    except BaseException as e:
        if stage.committed:
            raise
        if pool is not None:
            pool.stop()
        for shards in shard_sets:
            shards.abandon()
        stage.abandon()
        if os.path.isdir(os.path.join(out, _staging.JOURNAL)):
            # Even putting the old files back failed (the disk went away).
            before = "{} is left mixed; the next pack into it puts back what it held".format(out)
        else:
            before = "{} holds what it held before".format(out)
        if isinstance(e, KeyboardInterrupt):
            raise PackInterrupted("pack interrupted: the partial shards were removed and " +
                                  before) from None
        if isinstance(e, OSError):
            raise PackError("pack failed while writing {}: {}; the partial shards were removed, "
                            "no dataset was written and {}".format(
                                e.filename or out, e.strerror or e, before)) from e
        raise
    return summary


def _recover(out, log):
    """Clear what an earlier pack killed in the middle left in ``out``."""
    # The recovery runs to its end; a Ctrl-C meanwhile stops pack after it.
    with _staging.signals_held() as held:
        done = _staging.recover(out, SPLITS, DESCRIPTION_FILE)
    if done:
        print("note: an earlier pack into {} was killed while putting its dataset in place; {}"
              .format(out, "what the folder held before was put back" if done == "restored"
                      else "its dataset was complete and stays"), file=log)
    if held:
        raise KeyboardInterrupt


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
        kinds = ", ".join("{} {}".format(k.title, n) for k, n in summary.problems.items())
        orphans = ", {} entries that belong to no sample".format(summary.orphans) if summary.orphans else ""
        print("not packed: {} sample{}{} (problems: {})".format(
            skipped, "" if skipped == 1 else "s", orphans, kinds), file=log)
    if summary.crowd:
        print("left out: {} crowd objects".format(summary.crowd), file=log)
    if summary.reencoded:
        print("encoded as JPEG: {} pictures that were not JPEG files".format(summary.reencoded),
              file=log)
    print("description: {}".format(summary.description), file=log)
