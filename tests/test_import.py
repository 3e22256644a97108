"""Import-time behaviour, each case in a fresh interpreter."""

import subprocess
import sys
import textwrap

import pytest

from conftest import MODELS


def fresh(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.mark.parametrize("array_api", ["missing", "5", "None"])
def test_numpy_interface_failure_is_import_error_and_can_be_retried(array_api):
    out = fresh(f"""
        import sys, types, traceback
        fake = types.ModuleType("numpy._core._multiarray_umath")
        if {array_api!r} != "missing":
            fake._ARRAY_API = {array_api}
        sys.modules["numpy._core._multiarray_umath"] = fake
        try:
            import hydrokit.pump
        except ImportError as e:
            print(str(e).startswith("numpy.core.multiarray failed to import"))
            print(e.__cause__ is not None)
            print(traceback.extract_tb(e.__traceback__)[-1].name)
        else:
            print("imported")
        # Once NumPy is whole again, the import succeeds: nothing half-made was kept.
        del sys.modules["numpy._core._multiarray_umath"]
        sys.modules.pop("hydrokit.pump", None)
        import numpy, hydrokit.pump
        print(hydrokit.pump.run().shape)
    """)
    assert out.split("\n")[:4] == ["True", "True", "init hydrokit.pump", "(13,)"]


def test_import_does_not_load_models_or_numpy():
    out = fresh("""
        import sys, hydrokit
        print(sorted(m for m in sys.modules if m.startswith("hydrokit.") and m != "hydrokit.layout"),
              "numpy" in sys.modules)
        print(hydrokit.models()[:1])
    """)
    assert out.splitlines()[0] == "[] False"


def test_each_module_imports_alone():
    for name in MODELS:
        assert fresh(f"import hydrokit.{name} as m; print(m.run().size == m.OUTPUT_WIDTH)").strip() == "True"
