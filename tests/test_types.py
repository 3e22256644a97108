"""The whole package passes a strict type check (the settings under [tool.mypy] in pyproject.toml)."""

import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("mypy")
ROOT = pathlib.Path(__file__).resolve().parents[1]


def test_strict_type_check_of_the_package(tmp_path):
    done = subprocess.run([sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path)], cwd=ROOT,
                          capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout + done.stderr
