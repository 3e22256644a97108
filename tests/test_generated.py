"""Generated files are current, and the stubs type-check the README's examples."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]


def tool(name):
    spec = importlib.util.spec_from_file_location(name, ROOT / "tools" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name, files", [("gen_stubs", "stubs"), ("gen_reference", "pages"), ("gen_checks", "pages")])
def test_generated_files_are_current(name, files):
    generated = getattr(tool(name), files)()
    stale = [str(path.relative_to(ROOT)) for path, text in generated.items()
             if not path.exists() or path.read_text(encoding="utf-8") != text]
    assert not stale, f"regenerate with: python tools/{name}.py"


def test_mypy_strict_passes_on_the_readme_examples(tmp_path):
    pytest.importorskip("mypy")
    blocks = re.findall(r"```python\n(.*?)```", (ROOT / "README.md").read_text(encoding="utf-8"), flags=re.S)
    for i, block in enumerate(blocks):
        (tmp_path / f"readme_block_{i}.py").write_text(block, encoding="utf-8")
    # distributed is not annotated: its own calls are left out of the untyped-call check.
    # mypy reads the stubs and loads no extension module: it runs without a preloaded sanitizer.
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONMALLOC")}
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--untyped-calls-exclude=distributed", "."],
                          cwd=tmp_path, capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert f"no issues found in {len(blocks)} source files" in done.stdout
