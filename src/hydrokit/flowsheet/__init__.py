"""Flowsheets: model units connected by streams into a plant, solved in C++.

The seawater example plant (``examples/seawater_ro.toml``): a pump, a
segmented RO vessel and an energy-recovery device on its brine.

>>> import hydrokit
>>> fs = hydrokit.Flowsheet(components=["salt"])
>>> fs.feed("sea", flow=1e-3, temperature_c=25, pressure_bar=1, salt=35000, water="seawater")
>>> fs.unit("hp", "pump", pressure_rise_bar=59, pump_efficiency=0.8)
>>> fs.unit("ro", "osmoaxial", membrane_area=110, permeability=3.3333e-12, salt_permeability=1e-8,
...         mass_transfer_coeff=4e-5, segment_count=20, channel_pressure_drop_bar=1.5)
>>> fs.unit("erd", "recoupsimple", recovery_efficiency=0.95)
>>> fs.connect("sea", "hp.inlet"); fs.connect("hp.outlet", "ro.feed"); fs.connect("ro.concentrate", "erd.inlet")
>>> fs.product("water", "ro.permeate")
>>> res = fs.solve()
>>> res.converged, res.flagged, res.valid
(True, 0, True)

The examples in the flowsheet's docstrings use this ``fs`` and ``res``
(``fs = hydrokit.flowsheet.load_plant("examples/seawater_ro.toml")``).

A flowsheet compiles to a plan (see :mod:`hydrokit.flowsheet.plan`) that the
batch extension executes; ``solve`` is that plan on one row, ``sweep`` and
``evaluate`` on many.
"""

from .build import Flowsheet, FlowsheetError
from .nodes import MAX_VESSELS, finite_number


def load_plant(path):
    """A flowsheet from a plant file (see :mod:`hydrokit.flowsheet.plantfile`).

    Parameters
    ----------
    path : str or os.PathLike
        A TOML plant file: components, feeds, units, mixers, splitters,
        connections, products and tears (flows in m³/s, temperatures in °C,
        pressures in bar, components in g/m³).

    Returns
    -------
    Flowsheet
        Ready to solve, sweep or optimise.

    Raises
    ------
    hydrokit.flowsheet.plantfile.PlantFileError
        A :class:`ValueError`, one line naming the file and the entry, for
        a file that cannot be read, is not TOML, or has a mistake.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> from hydrokit.flowsheet import load_plant
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "plant.toml"
    >>> _ = path.write_text('''connect = ["w -> hp"]
    ... [feeds.w]
    ... flow = 1e-3            # m³/s
    ... [units.hp]
    ... model = "pump"
    ... pressure_rise_bar = 5  # bar
    ... [products]
    ... out = "hp"
    ... ''', encoding="utf-8")
    >>> res = load_plant(path).solve()
    >>> res.stream("out")["pressure_bar"]                          # bar
    6.0
    """
    from .plantfile import load

    return load(path)


__all__ = ["Flowsheet", "FlowsheetError", "MAX_VESSELS", "finite_number", "load_plant"]
