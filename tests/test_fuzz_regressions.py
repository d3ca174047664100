"""Every input saved under fuzz/regressions/<target>/ once broke a fuzz
target (a crash, an unexpected exception type or a wrong result); each must
now pass through its target cleanly."""

import importlib.util
import os
import sys

import pytest

FUZZ = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "fuzz")
REGRESSIONS = os.path.join(FUZZ, "regressions")
CASES = sorted((target, name) for target in os.listdir(REGRESSIONS)
               for name in os.listdir(os.path.join(REGRESSIONS, target)))
_targets = {}


def target(name):
    if name not in _targets:
        sys.path.insert(0, FUZZ)
        spec = importlib.util.spec_from_file_location("fuzz_" + name,
                                                      os.path.join(FUZZ, "fuzz_" + name + ".py"))
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        _targets[name] = module
    return _targets[name]


def test_every_target_has_a_module():
    assert CASES
    for name in {t for t, _ in CASES}:
        assert os.path.exists(os.path.join(FUZZ, "fuzz_" + name + ".py")), name


@pytest.mark.parametrize("name, case", CASES)
def test_replay(name, case):
    with open(os.path.join(REGRESSIONS, name, case), "rb") as f:
        data = f.read()
    target(name).one_input(data)
