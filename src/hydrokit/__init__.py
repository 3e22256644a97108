"""Steady-state process models for water-treatment unit operations.

Each model is its own extension module, ``hydrokit.<model>``, with
``default_input()``, ``default_params()`` and ``run(u, p)`` on flat float64
vectors. Models are imported on first use; none is imported here.

- ``models()``: the names of the models; ``load(name)``: a model module.
- ``hydrokit.layout.layout(name)``: the :class:`Layout` of a model, the name,
  unit and default of every slot (also ``Layout`` and ``LayoutError`` here).
- ``sweep`` and ``grid``: one model over many operating points (see
  ``hydrokit.batch``); imported on first use.
- ``Flowsheet``: models connected into a plant, solved, swept and optimised
  (see ``hydrokit.flowsheet``); imported on first use.
"""

import importlib as _importlib
from types import ModuleType as _ModuleType

from . import layout
from .layout import Layout, LayoutError, models, unknown_model as _unknown_model

__all__ = ["models", "load", "layout", "Layout", "LayoutError", "sweep", "grid", "Flowsheet"]
__version__ = "0.1.0"

# Imported on first use (they need NumPy): name -> module that defines it.
_LAZY = {"sweep": "batch", "grid": "batch", "Flowsheet": "flowsheet"}
# Subpackages reached as attributes (``hydrokit.flowsheet.load_plant``) and
# imported on first use like the names above.
_SUBMODULES = ("flowsheet", "costing", "optimize")


def load(name: str) -> _ModuleType:
    """Import and return the model module ``hydrokit.<name>``.

    Parameters
    ----------
    name : str
        A model name from :func:`models`, such as ``"osmomech"``.

    Returns
    -------
    module
        The extension module, with ``DESCRIPTION``, ``INPUT_WIDTH``,
        ``PARAM_WIDTH``, ``OUTPUT_WIDTH``, ``default_input()``,
        ``default_params()`` and ``run(u=None, p=None)``.

    Raises
    ------
    ValueError
        For a name this installation does not provide (the message suggests
        near names and lists the models).

    Examples
    --------
    >>> import hydrokit
    >>> pump = hydrokit.load("pump")
    >>> round(float(pump.run()[7]), 4)  # pump_power_kw at the defaults, kW
    0.3899
    """
    if name not in models():
        raise ValueError(_unknown_model(name))
    return _importlib.import_module(f"{__name__}.{name}")


def __getattr__(name: str) -> object:
    if name in _SUBMODULES:
        return _importlib.import_module(f"{__name__}.{name}")
    module = _LAZY.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(_importlib.import_module(f"{__name__}.{module}"), name)


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY, *_SUBMODULES})
