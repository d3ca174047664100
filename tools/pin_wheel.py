"""Narrow a built wheel's TensorFlow requirement to the minor release its op
library was built against (read from the wheel's own _trellisk_ops.txt), and
rewrite RECORD so the wheel stays valid.

    python tools/pin_wheel.py dist/quorvane_trellisk-*.whl
"""

import base64
import hashlib
import re
import sys
import zipfile

INFO = "quorvane/trellisk/ops/_trellisk_ops.txt"


def _record_hash(data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "sha256=" + digest


def pin(path):
    with zipfile.ZipFile(path) as wheel:
        entries = [(info, wheel.read(info.filename)) for info in wheel.infolist()]
    files = {info.filename: data for info, data in entries}
    if INFO not in files or not files[INFO].startswith(b"tensorflow "):
        sys.exit("{}: the wheel has no op library built against TensorFlow ({} says {!r})".format(
            path, INFO, files.get(INFO, b"nothing").decode().strip()))
    major, minor = files[INFO].split()[1].decode().split(".")[:2]
    pinned = "tensorflow-cpu>={0}.{1},<{0}.{2}".format(major, minor, int(minor) + 1)
    (metadata,) = [name for name in files if re.fullmatch(r"[^/]+\.dist-info/METADATA", name)]
    text, count = re.subn(r"^Requires-Dist: tensorflow-cpu\b[^;\n]*", "Requires-Dist: " + pinned,
                          files[metadata].decode(), flags=re.M)
    if count != 1:
        sys.exit("{}: expected one tensorflow-cpu requirement in {}, found {}".format(path, metadata, count))
    files[metadata] = text.encode()
    record = metadata.rsplit("/", 1)[0] + "/RECORD"
    lines = []
    for line in files[record].decode().splitlines():
        name = line.rsplit(",", 2)[0]
        if name == metadata:
            line = "{},{},{}".format(name, _record_hash(files[name]), len(files[name]))
        lines.append(line)
    files[record] = ("\n".join(lines) + "\n").encode()
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as wheel:
        for info, _ in entries:
            wheel.writestr(info, files[info.filename])
    print("{}: requires {}".format(path, pinned))


if __name__ == "__main__":
    for wheel_path in sys.argv[1:]:
        pin(wheel_path)
