"""The shipped type stubs stay true to the built module."""
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
pytest.importorskip("mypy")


def run(*args):
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True)


def test_stubs_match_the_runtime_module():
    result = run("mypy.stubtest", "quillander", "--allowlist", str(ROOT / "stubs" / "stubtest-allowlist.txt"))
    assert result.returncode == 0, result.stdout + result.stderr


def test_examples_type_check_strictly():
    result = run("mypy", "--strict", "--no-incremental", *sorted(str(p) for p in (ROOT / "examples").glob("*.py")))
    assert result.returncode == 0, result.stdout + result.stderr
