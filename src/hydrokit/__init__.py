"""Steady-state process models for water-treatment unit operations.

Each model is its own extension module, ``hydrokit.<model>``, with
``default_input()``, ``default_params()`` and ``run(u, p)`` on flat float64
vectors. Models are imported on first use; none is imported here.

``sweep`` and ``grid`` evaluate one model over many operating points (see
``hydrokit.batch``); ``Flowsheet`` connects models into a plant (see
``hydrokit.flowsheet``); they too are imported on first use.
"""

import importlib as _importlib

from .layout import models

__all__ = ["models", "load", "sweep", "grid", "Flowsheet"]
__version__ = "0.1.0"


def load(name):
    """Import and return the model module ``hydrokit.<name>``."""
    if name not in models():
        raise ValueError(f"unknown model {name!r}; choose from {', '.join(models())}")
    return _importlib.import_module(f"{__name__}.{name}")


def __getattr__(name):
    # sweep and grid need numpy: import them only when first asked for.
    if name in ("sweep", "grid"):
        from . import batch

        return getattr(batch, name)
    if name == "Flowsheet":
        from .flowsheet import Flowsheet

        return Flowsheet
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
