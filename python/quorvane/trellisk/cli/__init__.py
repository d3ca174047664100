"""Command line of quorvane.trellisk: ``python -m quorvane.trellisk <command>``.

Commands: ``demo`` (sample dataset, pipelines, a short training run,
previews), ``check`` (report every problem of a dataset), ``pack`` (write a
checked, sharded TFRecord detection dataset), ``preview`` (a PNG
grid of training samples), ``throughput`` (samples per second of the
training pipeline) and ``serve`` (tf.data service dispatcher and workers). Exit codes: 0 success, 1 problems found or the dataset
cannot be used, 2 usage errors.

TensorFlow and the extension modules are imported only by the commands that
need them, so ``--help`` answers at once.
"""

import argparse
import contextlib
import sys
import warnings

from .sources import DatasetError, UsageError, tf_error_text

PROG = "python -m quorvane.trellisk"

DESCRIPTION_HELP = (
    "the dataset: a segmentation YAML file, a TFRecord YAML file, a COCO JSON "
    "file (with --images DIR), an images folder and an annotations folder, or "
    "(check and pack) a YOLO data YAML or folder, or a Pascal VOC root folder")


def _positive(text):
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("{!r} is not a whole number".format(text))
    if v <= 0:
        raise argparse.ArgumentTypeError("must be at least 1, got {}".format(v))
    return v


def _non_negative_float(text):
    try:
        v = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("{!r} is not a number".format(text))
    if not v >= 0:
        raise argparse.ArgumentTypeError("must be 0 or more, got {}".format(text))
    return v


def _port(text):
    try:
        v = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("{!r} is not a port number".format(text))
    if not 0 <= v < 65536:
        raise argparse.ArgumentTypeError("a port is between 0 and 65535, got {}".format(v))
    return v


def _positive_float(text):
    v = _non_negative_float(text)
    if v == 0:
        raise argparse.ArgumentTypeError("must be more than 0")
    return v


def _class_list(text):
    names = [n.strip() for n in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError("class names are separated by commas and may not be empty")
    return names


def _add_description(p):
    p.add_argument("description", nargs="+", metavar="DESCRIPTION", help=DESCRIPTION_HELP)
    p.add_argument("--images", metavar="DIR",
                   help="image folder of a COCO file, or of a single annotations folder")
    p.add_argument("--classes", type=_class_list, metavar="A,B,...",
                   help="class names of a folder pair, in class-index order "
                        "(a YAML or COCO file names its own classes)")


def _add_shape(p):
    p.add_argument("--shape", nargs=2, type=_positive, default=[256, 256], metavar=("H", "W"),
                   help="network input height and width (default: 256 256)")


def _add_native(p, text):
    p.add_argument("--native-augment", action="store_true", help=text)


def _aug_cfg(text):
    import yaml

    try:
        value = yaml.safe_load(text)
    except yaml.YAMLError as e:
        raise argparse.ArgumentTypeError("not a YAML or JSON mapping: {}".format(
            str(e).splitlines()[0]))
    if value is None:
        return {}
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError(
            "a mapping such as '{\"mosaic\": 1.0, \"hflip\": 0.5}' is needed, not %r" % (text,))
    return value


def _add_aug_cfg(p, what):
    p.add_argument("--aug-cfg", type=_aug_cfg, metavar="MAPPING",
                   help="TFRecord datasets: the aug_cfg that {} (YAML or JSON, e.g. "
                        "'{{mosaic: 1.0, hflip: 0.5, degrees: 10}}'; '{{}}' for none; default: "
                        "{})".format(what, _recipe_text()))


def _recipe_text():
    from .sources import DETECTION_AUG_CFG

    return ", ".join("{} {:g}".format(k, v) for k, v in DETECTION_AUG_CFG.items())


def _add_segmentation(p):
    p.add_argument("--segmentation", action="store_true",
                   help="read a TFRecord description as segmentation samples: the outlines "
                        "that each record of a packed dataset carries, painted into class masks "
                        "(SegmentationDatasetTFRecord) instead of boxes; the dataset must have "
                        "been packed from a layout with outlines")


def _add_graph(p):
    p.add_argument("--graph", action="store_true",
                   help="use the graph-only pipeline (quorvane.trellisk.datasets.graph: "
                        "TensorFlow ops in C++, no Python per sample)")


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run, check and look at quorvane.trellisk datasets.",
        epilog="Exit codes: 0 success, 1 problems found or the dataset cannot be used, "
               "2 usage error. '%(prog)s COMMAND --help' explains each command.")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    p = sub.add_parser(
        "demo", help="build a sample dataset, its pipelines, train briefly and write previews",
        description="Make a small dataset from the sample photographs that scikit-image ships, "
                    "in all four layouts (JSON folders, YAML, COCO, TFRecord), and pack the "
                    "YAML into record shards that keep the outlines (read both as segmentation "
                    "and as detection samples); build each pipeline and print its samples per "
                    "second; train a tiny segmentation "
                    "model and a tiny regressor with AttitudeLoss for a few dozen steps; write "
                    "PNG previews of the batches into the output folder.")
    p.add_argument("--out", default="trellisk-demo", metavar="DIR",
                   help="output folder (default: ./trellisk-demo)")
    p.add_argument("--steps", type=_positive, default=40,
                   help="training steps of each model (default: 40)")
    _add_native(p, "the segmentation datasets augment with the native engine; the YAML "
                   "pipeline is also measured with the library's, and both rates are printed")
    # Smaller dataset, fewer steps and batches: for the test suite.
    p.add_argument("--quick", action="store_true", help=argparse.SUPPRESS)

    p = sub.add_parser(
        "check", help="report every problem of a dataset",
        description="Read every annotation, image and record once and report, per file or "
                    "record: unreadable or non-JSON annotations, missing or undecodable images, "
                    "parts with fewer than three vertices or zero length, class values outside "
                    "the labels, coordinates outside the image, records that fail to parse or "
                    "decode, and box/label count mismatches. Ends with a table of counts. Exit "
                    "code 1 when anything was found.")
    _add_description(p)

    p = sub.add_parser(
        "pack", help="write a checked, sharded TFRecord detection dataset",
        description="Check every sample as 'check' does and write the sound ones as "
                    "tf.train.Example records into DIR/train/part-NNNNN-of-MMMMM.tfrecord and "
                    "DIR/validation/..., then DIR/tfrecord.yaml (read it with "
                    "TFRecordDatasetYaml). Boxes: the extent of each object's polygons (JSON "
                    "annotations) or its COCO \"bbox\" (crowd objects left out); beside them "
                    "each object's class and outline, when the layout has outlines, so that "
                    "preview and throughput --segmentation read the folder as segmentation "
                    "samples. JPEG pictures "
                    "go in byte for byte, others are encoded once as JPEG. A sample with a "
                    "problem is skipped with one line; the same input always gives the same "
                    "files. Nothing counts as written until the description is.")
    _add_description(p)
    p.add_argument("--out", required=True, metavar="DIR", help="output folder")
    p.add_argument("--shard-mb", type=_positive_float, metavar="MB",
                   help="shard size in megabytes (default: 100, a size object stores and "
                        "tf.data readers handle well)")
    p.add_argument("--quality", type=_positive, metavar="Q",
                   help="JPEG quality (1-100) for pictures that are not JPEG files (default: 95)")
    p.add_argument("--val-fraction", type=_positive_float, metavar="F",
                   help="share of a COCO file's or a folder pair's samples that go to "
                        "validation, chosen by a stable hash of the file names (default: 0.1); "
                        "YAML and TFRecord descriptions keep their own validation split, and "
                        "so do YOLO and VOC datasets that have one")
    p.add_argument("--strict", action="store_true", help="stop at the first problem")
    p.add_argument("--overwrite", action="store_true",
                   help="replace a dataset that DIR already holds")
    p.add_argument("--workers", type=_positive, metavar="N",
                   help="worker processes (default: one per core)")

    p = sub.add_parser(
        "preview", help="write a PNG grid of training samples",
        description="Draw training samples as the pipeline delivers them: segmentation masks "
                    "overlaid in distinct colours, or detection boxes with their labels, and a "
                    "legend of the class names.")
    _add_description(p)
    p.add_argument("--n", type=_positive, default=16, help="number of samples (default: 16)")
    p.add_argument("--out", default="preview.png", metavar="FILE.png",
                   help="PNG file to write (default: preview.png)")
    p.add_argument("--no-augment", action="store_true",
                   help="show the samples as read, before random augmentation")
    p.add_argument("--crowd", choices=("object", "ignore", "skip"), default="object",
                   help="COCO crowd regions: painted with their class (default), with the ignore "
                        "value 255 (hatched in white) or left out")
    _add_native(p, "augment segmentation samples with the native engine instead of the library")
    _add_aug_cfg(p, "the training samples shown are augmented with")
    _add_graph(p)
    _add_segmentation(p)
    _add_shape(p)

    p = sub.add_parser(
        "throughput", help="measure samples per second of the training pipeline",
        description="Draw batches from the training pipeline and print samples per second and "
                    "how the time splits between waiting for data and the rest (the consumer). "
                    "With --step-ms the consumer pretends to train for that long per batch, so "
                    "you can see whether the input pipeline keeps up with a model of that speed.")
    _add_description(p)
    p.add_argument("--batch-size", type=_positive, default=8, help="samples per batch (default: 8)")
    p.add_argument("--batches", type=_positive, default=20, help="batches to time, at least (default: 20; more until 1 s has passed)")
    p.add_argument("--step-ms", type=_non_negative_float, default=0.0,
                   help="simulated training time per batch in milliseconds (default: 0)")
    _add_native(p, "augment segmentation samples with the native engine instead of the library")
    _add_aug_cfg(p, "the pipeline measured augments with")
    _add_graph(p)
    _add_segmentation(p)
    _add_shape(p)

    p = sub.add_parser(
        "serve", help="run a tf.data service dispatcher or worker with the op library loaded",
        description="Start TensorFlow's own tf.data service servers, so that graph pipelines "
                    "(quorvane.trellisk.datasets.graph) are produced by worker processes on any "
                    "number of machines. Start one dispatcher, then workers pointing at it; "
                    "trainers pass service='grpc://HOST:PORT' to train_pipeline. Each server logs "
                    "one line when ready and stops cleanly on Ctrl-C or SIGTERM.")
    role = p.add_subparsers(dest="role", metavar="ROLE")
    role.required = True
    r = role.add_parser("dispatcher", help="the dispatcher: hands the pipeline out to workers",
                        description="Start a tf.data service dispatcher.")
    r.add_argument("--port", type=_port, required=True, help="port to listen on")
    r.add_argument("--work-dir", metavar="DIR",
                   help="journal folder: a dispatcher restarted with the same folder resumes "
                        "its jobs (fault-tolerant mode)")
    r.add_argument("--worker-timeout", type=_positive_float, metavar="SECONDS",
                   help="drop a worker that has not sent a heartbeat for this long "
                        "(default: TensorFlow's)")
    r = role.add_parser("worker", help="a worker: produces elements for the trainers",
                        description="Start a tf.data service worker with the op library loaded. "
                                    "A worker started before its dispatcher waits for it.")
    r.add_argument("--dispatcher", required=True, metavar="HOST:PORT",
                   help="address of the dispatcher")
    r.add_argument("--port", type=_port, default=0,
                   help="port to listen on (default: any free port)")
    r.add_argument("--worker-address", metavar="HOST:PORT",
                   help="address under which trainers reach this worker, when it differs from "
                        "this host's name (use %%port%% for the port the worker binds)")
    r.add_argument("--heartbeat", type=_positive_float, metavar="SECONDS",
                   help="how often the worker reports to the dispatcher (default: TensorFlow's)")
    return parser


def _err(msg):
    print("{}: error: {}".format(PROG, msg), file=sys.stderr)


@contextlib.contextmanager
def _warnings_as_messages():
    """Warnings print as one line each, the message alone (not the source line
    that raised it), and a message that repeats prints once."""
    shown = set()

    def show(message, category, filename, lineno, file=None, line=None):
        text = str(message)
        if text not in shown:
            shown.add(text)
            print("{}: warning: {}".format(PROG, text), file=sys.stderr)

    with warnings.catch_warnings():
        # Deprecation notices that libraries raise about each other say
        # nothing about the user's data; this package's own still show.
        for category in (DeprecationWarning, FutureWarning):
            warnings.filterwarnings("ignore", category=category, module=r"(?!quorvane\.)")
        warnings.showwarning = show
        yield


def _run(args):
    if args.command == "demo":
        from . import demo

        return demo.run(args.out, steps=args.steps, quick=args.quick, native=args.native_augment)
    if args.command == "serve":
        from . import serve

        return serve.run(args)
    from . import sources

    segmentation = getattr(args, "segmentation", False)
    src = sources.resolve(args.description, images=args.images, classes=args.classes,
                          segmentation=segmentation)
    if getattr(args, "native_augment", False) and src.detection:
        raise UsageError("--native-augment applies to segmentation datasets, not TFRecord ones")
    aug_cfg = getattr(args, "aug_cfg", None)
    if aug_cfg is not None and not src.detection:
        raise UsageError("--aug-cfg applies to TFRecord datasets; segmentation datasets "
                         "augment with their own recipe{}".format(
                             " (--segmentation reads this one as segmentation samples)"
                             if segmentation else ""))
    if aug_cfg is None:
        aug_cfg = sources.DETECTION_AUG_CFG
    if args.command == "check":
        from . import check

        report = check.run(src)
        return 1 if report.problems else 0
    if args.command == "pack":
        from . import pack

        return pack.run(args)
    if args.command == "preview":
        from . import preview

        return preview.run(src, n=args.n, out=args.out, augment=not args.no_augment,
                           shape=args.shape, native=args.native_augment, use_graph=args.graph,
                           aug_cfg=aug_cfg, crowd=args.crowd)
    from . import throughput

    return throughput.run(src, batch_size=args.batch_size, batches=args.batches,
                          step_ms=args.step_ms, shape=args.shape, native=args.native_augment,
                          graph=args.graph, aug_cfg=aug_cfg)


def main(argv=None):
    """Run the command line; returns the exit code."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as e:  # --help (0) and usage errors (2)
        return e.code if isinstance(e.code, int) else 2
    try:
        with _warnings_as_messages():
            return _run(args)
    except UsageError as e:
        _err("{} (see '{} {} --help')".format(e, PROG, args.command))
        return 2
    except DatasetError as e:
        _err(e)
        return 1
    except KeyboardInterrupt as e:
        # One line, which says what was left behind when the command knows.
        _err(str(e) or "interrupted")
        return 130
    except Exception as e:
        # A failure while reading batches surfaces here as a TensorFlow error.
        if type(e).__module__.startswith("tensorflow"):
            _err("reading the dataset failed: {}\n(run '{} check ...' to find the bad file{})".format(
                tf_error_text(e), PROG,
                "; --segmentation needs records that carry outlines, as pack writes them from "
                "JSON folders, segmentation YAML and COCO polygons"
                if getattr(args, "segmentation", False) else ""))
            return 1
        raise
