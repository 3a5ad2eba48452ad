"""The shipped type stubs stay true to the built module."""
import ast
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


def undocumented(path):
    """The classes, functions, methods and ufunc attributes of a stub file that
    lack a one-line docstring (an editor shows it on hover)."""
    body = ast.parse(path.read_text()).body
    missing = []

    def one_line(node):
        doc = ast.get_docstring(node, clean=False)
        return doc is not None and doc.strip() != "" and "\n" not in doc

    def walk(nodes, prefix):
        for k, node in enumerate(nodes):
            if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
                if not one_line(node):
                    missing.append(f"{prefix}{node.name} (line {node.lineno})")
                if isinstance(node, ast.ClassDef):
                    walk(node.body, f"{prefix}{node.name}.")
            elif isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "np.ufunc":
                after = nodes[k + 1] if k + 1 < len(nodes) else None
                text = after.value.value if isinstance(after, ast.Expr) and isinstance(after.value, ast.Constant) else None
                if not (isinstance(text, str) and text.strip() and "\n" not in text):
                    missing.append(f"{prefix}{ast.unparse(node.target)} (line {node.lineno})")

    walk(body, "")
    return missing


@pytest.mark.parametrize("stub", ["quillander-stubs", "quillander_numpy-stubs"])
def test_every_stub_carries_a_one_line_docstring(stub):
    assert undocumented(ROOT / "stubs" / stub / "__init__.pyi") == []
