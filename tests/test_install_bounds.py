"""The versions the package declares and the versions constraints.txt pins agree."""

import re
import sys
import tomllib
from pathlib import Path

import pytest
from packaging.requirements import Requirement
from packaging.specifiers import SpecifierSet
from packaging.utils import canonicalize_name

ROOT = Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())


def _pins():
    pins = {}
    for line in (ROOT / "constraints.txt").read_text().splitlines():
        line = line.split("#")[0].strip()
        if line:
            name, version = line.split("==")
            pins[canonicalize_name(name)] = version.strip()
    return pins


PINS = _pins()


@pytest.mark.parametrize("requirement", PROJECT["project"]["dependencies"]
                         + PROJECT["build-system"]["requires"])
def test_pinned_version_lies_within_the_declared_bounds(requirement):
    req = Requirement(requirement)
    pin = PINS.get(canonicalize_name(req.name))
    assert pin is not None, "{} is declared but not pinned".format(req.name)
    assert req.specifier, "{} is declared without bounds".format(req.name)
    assert req.specifier.contains(pin, prereleases=True), (requirement, pin)


def test_python_bounds_agree_with_the_interpreter_the_makefile_and_the_readme():
    allowed = SpecifierSet(PROJECT["project"]["requires-python"])
    running = "{}.{}".format(*sys.version_info[:2])
    assert running in allowed
    # Nothing beyond the next minor release is promised.
    assert "{}.{}".format(sys.version_info[0], sys.version_info[1] + 1) not in allowed
    wanted = re.search(r"^PYTHON_VERSION\s*:?=\s*(\S+)", (ROOT / "Makefile").read_text(), re.M)
    assert wanted and wanted.group(1) in allowed
    readme = (ROOT / "README.md").read_text()
    install = readme.split("## Install")[1].split("\n## ")[0]
    assert set(re.findall(r"Python (\d+\.\d+)\b", install)) == {running}
    assert PROJECT["tool"]["scikit-build"]["minimum-version"]
