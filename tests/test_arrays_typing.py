"""The array module's type stubs stay true to the built module."""
import os
import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUBS = ROOT / "stubs"
pytest.importorskip("mypy")


@pytest.fixture(scope="module")
def stub_path(tmp_path_factory):
    """The stub folders under their modules' names, so that mypy finds them in
    the source tree as well as installed beside the modules."""
    root = tmp_path_factory.mktemp("stubs")
    for module in ("quillander", "quillander_numpy"):
        (root / module).symlink_to(STUBS / f"{module}-stubs", target_is_directory=True)
    return root


def run(stub_path, *args):
    env = {**os.environ, "MYPYPATH": str(stub_path)}
    return subprocess.run([sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True, env=env)


def test_stubs_match_the_runtime_module(stub_path):
    result = run(stub_path, "mypy.stubtest", "quillander_numpy")
    assert result.returncode == 0, result.stdout + result.stderr


USE = '''
import numpy as np
import numpy.typing as npt
import quillander as q
import quillander_numpy as qn

one: qn.Metrics[np.float64] = qn.get_metrics(100.0, 95.0, 0.05, 0.0, 1.0, q.PutCallFlag.Call, 0.2)
first: np.float64 = one.npv
many = qn.get_metrics_fd(np.ones(3), 95.0, 0.05, 0.0, [1.0, 2.0, 3.0], np.array([0, 1, 1]), 0.2)
column: npt.NDArray[np.float64] = many.vega
previous: int = qn.set_num_threads(2)
ufunc: np.ufunc = qn.erf_inv
qn.get_metrics(spot=100.0, strike=95.0, rate=0.05, div_yield=0.0, tau=1.0, pc_flag=1, vol=0.2)
qn.set_num_threads("2")
'''


def test_the_stubs_type_a_use_of_the_module(stub_path, tmp_path):
    script = tmp_path / "use.py"
    script.write_text(USE)
    result = run(stub_path, "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, str(script))
    # Only the last two lines are refused: arguments are positional, as for every ufunc.
    errors = [line.split(": error: ")[0].rsplit(":", 1)[1] for line in result.stdout.splitlines() if ": error: " in line]
    assert errors == ["13", "14"], result.stdout + result.stderr
