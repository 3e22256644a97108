"""Steady-state process models for water-treatment unit operations.

Each model is its own extension module, ``hydrokit.<model>``, with
``default_input()``, ``default_params()`` and ``run(u, p)`` on flat float64
vectors. Models are imported on first use; none is imported here.
"""

import importlib as _importlib

from .layout import models

__all__ = ["models", "load"]
__version__ = "0.1.0"


def load(name):
    """Import and return the model module ``hydrokit.<name>``."""
    if name not in models():
        raise ValueError(f"unknown model {name!r}; choose from {', '.join(models())}")
    return _importlib.import_module(f"{__name__}.{name}")
