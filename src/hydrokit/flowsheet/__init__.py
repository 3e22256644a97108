"""Flowsheets: model units connected by streams into a plant, solved in C++.

>>> import hydrokit
>>> fs = hydrokit.Flowsheet(components=["salt"])
>>> fs.feed("sea", flow=1e-3, temperature_c=25, pressure_bar=1, salt=35000)
>>> fs.unit("hp", "pump", pressure_rise_bar=59, pump_efficiency=0.8)
>>> fs.unit("ro", "osmolumped", membrane_area=54.3)
>>> fs.connect("sea", "hp.inlet"); fs.connect("hp.outlet", "ro.feed")
>>> fs.product("water", "ro.permeate")
>>> res = fs.solve()
>>> res.converged
True

A flowsheet compiles to a plan (see :mod:`hydrokit.flowsheet.plan`) that the
batch extension executes; ``solve`` is that plan on one row, ``sweep`` and
``evaluate`` on many.
"""

from .build import Flowsheet, FlowsheetError


def load_plant(path):
    """A flowsheet from a plant file (see :mod:`hydrokit.flowsheet.plantfile`)."""
    from .plantfile import load

    return load(path)


__all__ = ["Flowsheet", "FlowsheetError", "load_plant"]
