"""The versions the package declares, the two lock files, the Makefile and
the README's table of tested stacks agree."""

import re
import sys
import tomllib
from pathlib import Path

import pytest
from packaging.markers import default_environment
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

ROOT = Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())
# The Python releases each stack is tested on.
STACKS = {"current": ["3.11", "3.12", "3.13"], "legacy": ["3.11"]}
DECLARED = (PROJECT["project"]["dependencies"] + PROJECT["build-system"]["requires"]
            + [r for extra in PROJECT["project"]["optional-dependencies"].values() for r in extra])


def _lock(stack):
    """[Requirement] of constraints/<stack>.txt, each an exact pin."""
    lines = (ROOT / "constraints" / "{}.txt".format(stack)).read_text().splitlines()
    return [Requirement(line.split("#")[0]) for line in lines if line.split("#")[0].strip()]


def _pins(stack, python):
    """{name: version} that `pip install -r` picks on ``python``."""
    env = dict(default_environment(), python_version=python, python_full_version=python + ".0")
    pins = {}
    for req in _lock(stack):
        (spec,) = req.specifier
        assert spec.operator == "==", "{} is not pinned exactly".format(req)
        if req.marker is None or req.marker.evaluate(env):
            name = canonicalize_name(req.name)
            assert name not in pins, "{} is pinned twice for Python {}".format(req.name, python)
            pins[name] = spec.version
    return pins


CASES = [(stack, python) for stack, pythons in STACKS.items() for python in pythons]


@pytest.mark.parametrize("stack, python", CASES)
@pytest.mark.parametrize("requirement", DECLARED)
def test_pinned_version_lies_within_the_declared_bounds(stack, python, requirement):
    req = Requirement(requirement)
    pin = _pins(stack, python).get(canonicalize_name(req.name))
    assert pin is not None, "{} is declared but not pinned in {}".format(req.name, stack)
    assert req.specifier, "{} is declared without bounds".format(req.name)
    assert req.specifier.contains(pin, prereleases=True), (stack, python, requirement, pin)


@pytest.mark.parametrize("stack", STACKS)
def test_every_pin_applies_to_a_tested_python(stack):
    # A pin whose marker no tested interpreter satisfies is dead weight.
    applied = set()
    for python in STACKS[stack]:
        applied |= {(name, version) for name, version in _pins(stack, python).items()}
    pinned = {(canonicalize_name(r.name), next(iter(r.specifier)).version) for r in _lock(stack)}
    assert pinned == applied


def test_python_bounds_agree_with_the_stacks_the_makefile_and_the_readme():
    allowed = SpecifierSet(PROJECT["project"]["requires-python"])
    tested = sorted({p for pythons in STACKS.values() for p in pythons})
    assert [v for v in ("3.{}".format(m) for m in range(8, 17)) if v in allowed] == tested
    assert "{}.{}".format(*sys.version_info[:2]) in allowed
    makefile = (ROOT / "Makefile").read_text()
    for stack, pythons in STACKS.items():
        block = re.search(r"STACK\),{}\)\n\s*VERSIONS := ([^\n]+)".format(stack), makefile)
        assert block and sorted(block.group(1).split()) == pythons, stack
    # The README's table: one row per stack and Python release tested.
    readme = (ROOT / "README.md").read_text()
    rows = re.findall(r"^\| *(current|legacy) *\| *(3\.\d+) *\|", readme, re.M)
    assert sorted(rows) == sorted(CASES)
    assert PROJECT["tool"]["scikit-build"]["minimum-version"]


@pytest.mark.parametrize("stack, python", CASES)
def test_readme_table_shows_the_pinned_versions(stack, python):
    readme = (ROOT / "README.md").read_text()
    row = re.search(r"^\| *{} *\| *{} *\|([^\n]+)".format(stack, re.escape(python)), readme, re.M)
    assert row, (stack, python)
    cells = [c.strip() for c in row.group(1).split("|") if c.strip()]
    pins = _pins(stack, python)
    wanted = [pins[n] for n in ("tensorflow-cpu", "keras", "numpy", "opencv-python-headless",
                                "albumentations")]
    assert cells == wanted
