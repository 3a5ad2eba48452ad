"""`python -m build` makes a wheel that installs into a fresh environment."""
import pathlib
import subprocess
import sys
import venv

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
pytest.importorskip("build")


def test_wheel_installs_and_imports_in_a_fresh_venv(tmp_path):
    dist = tmp_path / "dist"
    subprocess.run([sys.executable, "-m", "build", "--wheel", "--no-isolation", "--outdir", str(dist), str(ROOT)],
                   check=True, capture_output=True)
    (wheel,) = dist.glob(f"quillander-0.1.0-cp{sys.version_info.major}{sys.version_info.minor}-*.whl")
    env = tmp_path / "env"
    venv.create(env, with_pip=True)
    python = env / "bin" / "python"
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--no-deps", str(wheel)],
                   check=True, capture_output=True)
    probe = ("import pathlib, quillander as q; "
             "print(q.__version__, q.Date(2024, 2, 29).add_tenor('1Y'), "
             "(pathlib.Path(q.__file__).parent / 'quillander-stubs' / '__init__.pyi').is_file())")
    out = subprocess.run([python, "-c", probe], check=True, capture_output=True, text=True, cwd=tmp_path)
    assert out.stdout.split() == ["0.1.0", "2025-02-28", "True"]
