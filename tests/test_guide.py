"""Every example in the user guide runs and prints what the guide shows."""
import doctest
import pathlib

import pytest

GUIDE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "guide.md"


def test_guide_examples():
    pytest.importorskip("matplotlib")
    failures, tried = doctest.testfile(str(GUIDE), module_relative=False, optionflags=doctest.ELLIPSIS)
    assert tried > 30
    assert failures == 0
