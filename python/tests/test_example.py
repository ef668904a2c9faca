"""examples/umatrix.py draws where matplotlib is installed, and says that it
cannot, ending cleanly, where it is not."""

import importlib.util
import subprocess
import sys

import pytest

from conftest import ROOT, python_env

EXAMPLE = ROOT / "examples" / "umatrix.py"

# Runs the example with matplotlib made unimportable, as on a machine
# without it.
WITHOUT_MATPLOTLIB = (
    "import runpy, sys; sys.modules['matplotlib'] = None; "
    "sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0], run_name='__main__')"
)


@pytest.mark.parametrize("matplotlib", ["hidden", "installed"])
def test_example_draws_the_u_matrix_or_says_why_not(matplotlib, tmp_path):
    picture = tmp_path / "u.png"
    if matplotlib == "hidden":
        command = [sys.executable, "-c", WITHOUT_MATPLOTLIB, str(EXAMPLE)]
    elif importlib.util.find_spec("matplotlib") is None:
        pytest.skip("matplotlib is not installed")
    else:
        command = [sys.executable, str(EXAMPLE)]
    run = subprocess.run([*command, str(ROOT / "data" / "colours.tsv"), str(picture)],
                         capture_output=True, text=True, cwd=tmp_path, env=python_env())
    assert run.returncode == 0, run.stderr
    if matplotlib == "hidden":
        assert "matplotlib is not installed" in run.stderr
        assert not picture.exists()
    else:
        assert picture.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
        assert "neurons win the 300 rows" in run.stdout
