"""What every fuzz target shares: a scratch folder, a byte-input splitter
that needs no fuzzing library (so pytest can replay saved inputs), the
"only these exceptions" guard, invariant checks and the libFuzzer entry.

A target module defines `one_input(data: bytes)` and ends with
`if __name__ == "__main__": harness.main(one_input, "<name>")`.
`one_input` returns normally for every input the library handles well;
anything it lets escape (an unexpected exception type, a `Finding`) or a
crash/hang of the process is a finding.
"""

import contextlib
import os
import re
import shutil
import struct
import sys
import tempfile
import zlib

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
os.environ.setdefault("TQDM_DISABLE", "1")

HERE = os.path.dirname(os.path.abspath(__file__))
FUZZING = os.path.basename(sys.argv[0]).startswith("fuzz_")


class Finding(AssertionError):
    """A result that breaks an invariant of the library."""


def check(condition, what):
    if not condition:
        raise Finding(what)


def scratch(name):
    """A fresh folder for one target's files, in memory where possible."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    path = tempfile.mkdtemp(prefix="trellisk-fuzz-{}-".format(name), dir=base)
    import atexit
    atexit.register(shutil.rmtree, path, True)
    return path


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


# ------------------------------------------------------------ input layout
# An input is a few flag bytes followed by length-prefixed chunks; a short or
# cut input reads as zeros / empty chunks, so every byte string is valid.

class Input:
    def __init__(self, data):
        self.data = bytes(data)
        self.pos = 0

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def chunk(self):
        """Two bytes of length (little-endian), then that many bytes."""
        n = self.byte() | (self.byte() << 8)
        out = self.data[self.pos:self.pos + n]
        self.pos += len(out)
        return out

    def rest(self):
        out = self.data[self.pos:]
        self.pos = len(self.data)
        return out


def pack(flags, *chunks, rest=b""):
    """The inverse of Input: flag bytes, chunks, then the tail."""
    out = bytes(flags)
    for c in chunks:
        out += struct.pack("<H", len(c)) + c
    return out + rest


# ------------------------------------------------------------ feedback
# Most of the code under test is native and built without coverage
# instrumentation, so libFuzzer would see every input as the same. Outcomes
# (error kind and message shape, result layout) are fed back instead, as
# branches of an instrumented decision tree: a new outcome is new coverage.

def _tree(lo, hi, depth):
    pad = "    " * depth
    if hi - lo == 1:
        return "{}return {}\n".format(pad, lo)
    mid = (lo + hi) // 2
    return "{p}if b < {m}:\n{a}{p}else:\n{c}".format(
        p=pad, m=mid, a=_tree(lo, mid, depth + 1), c=_tree(mid, hi, depth + 1))


_SINK_SIZE = 1024
_scope = {}
exec("def _sink(b):\n" + _tree(0, _SINK_SIZE, 1), _scope)
_sink = _scope["_sink"]


def signal(*values):
    """Tell the fuzzer which outcome this input reached."""
    if FUZZING:
        text = re.sub(r"\d+", "#", repr(values))[:120]
        _sink(zlib.crc32(text.encode()) % _SINK_SIZE)


# ------------------------------------------------------------ the guard

@contextlib.contextmanager
def allowed(*types):
    """Swallow exactly the exception types the interface documents."""
    try:
        yield
    except types as e:
        # TensorFlow prefixes eager errors with the op's wrapper name, which
        # says nothing about the path taken; the message proper does.
        signal(type(e).__name__, re.sub(r"^\{\{[^}]*\}\}\s*", "", str(e))[:60])


@contextlib.contextmanager
def inside(folder):
    """Run with `folder` as the working directory (descriptions hold
    relative paths so saved inputs replay anywhere)."""
    old = os.getcwd()
    os.chdir(folder)
    try:
        yield
    finally:
        os.chdir(old)


def instrumented():
    """While fuzzing, give libFuzzer coverage of the pure-Python libraries
    imported inside this block (the native code is guided through them)."""
    if not FUZZING:
        return contextlib.nullcontext()
    import atheris
    return atheris.instrument_imports()


def image_library():
    """PIL.Image with every decoder loaded (instrumented while fuzzing)."""
    with instrumented():
        import PIL.Image
        PIL.Image.init()
    if FUZZING:
        # Files that declare tens of millions of pixels take PIL seconds
        # each; keep every execution short (a larger image raises
        # DecompressionBombError).
        PIL.Image.MAX_IMAGE_PIXELS = 1 << 20
    return PIL.Image


def main(one_input, name):
    """libFuzzer entry: the corpus folder defaults to fuzz/corpus/<name>,
    crashes go to fuzz/findings/<name>/, a 10 s input is a hang."""
    import atheris
    argv = list(sys.argv)
    flags = [a for a in argv[1:] if a.startswith("-")]
    dirs = [a for a in argv[1:] if not a.startswith("-")]
    findings = os.path.join(HERE, "findings", name)
    os.makedirs(findings, exist_ok=True)
    if not any(a.startswith("-artifact_prefix=") for a in flags):
        flags.append("-artifact_prefix=" + findings + os.sep)
    if not any(a.startswith("-timeout=") for a in flags):
        flags.append("-timeout=10")
    if not dirs:
        corpus = os.path.join(HERE, "corpus", name)
        if not os.path.isdir(corpus):
            sys.exit("no corpus at {}: run fuzz/make_corpus.py first".format(corpus))
        dirs = [corpus]
    global _sink
    _sink = atheris.instrument_func(_sink)
    dictionary = os.path.join(HERE, "dicts", name + ".dict")
    if os.path.exists(dictionary) and not any(a.startswith("-dict=") for a in flags):
        flags.append("-dict=" + dictionary)
    atheris.Setup([argv[0]] + flags + dirs, one_input)
    atheris.Fuzz()
