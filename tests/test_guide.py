"""Every example in the user guide and the README runs and prints what they show."""
import doctest
import pathlib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("path, at_least", [("docs/guide.md", 30), ("README.md", 2)])
def test_examples(path, at_least):
    pytest.importorskip("matplotlib")
    failures, tried = doctest.testfile(str(ROOT / path), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert tried >= at_least
    assert failures == 0
