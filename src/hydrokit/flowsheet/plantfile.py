"""Plant files: a flowsheet written as TOML and built into a :class:`Flowsheet`.

A plant file names the components, the feeds, the units (each with its model
and any slots it fixes), mixers and splitters, the connections as
``"source -> target"`` lines, the products and, optionally, tear streams::

    title = "Seawater reverse osmosis"
    components = ["salt"]
    connect = [
        "sea -> hp.inlet",
        "hp.outlet -> ro.feed",
        "ro.concentrate -> erd.inlet",
    ]

    [feeds.sea]
    flow = 1e-3            # m³/s
    temperature_c = 25
    pressure_bar = 1
    salt = 35000           # g/m³

    [units.hp]
    model = "pump"
    pressure_rise_bar = 59
    pump_efficiency = 0.8

    [units.ro]
    model = "osmoaxial"
    membrane_area = 110            # m²
    permeability = 3.3333e-12      # m/(s·Pa): a seawater membrane
    mass_transfer_coeff = 4e-5     # m/s

    [units.erd]
    model = "recoupsimple"
    recovery_efficiency = 0.95

    [products]
    water = "ro.permeate"

``components`` is a list of names (all dissolved) or a table of kinds,
``components = { salt = "dissolved", tss = "suspended" }``.
A feed with ``utility = true`` is a cooling or heating loop, not water to
treat (left out of the feed flow and the recovery); ``water = "seawater"``
names its water class for the design checks. A unit's design-check limits
are changed, or a check switched off, with ``checks = { average_flux = 20,
max_recovery = "off" }`` (under an array or a heater too). A unit may map components to its component slots with ``components =
{ solute1 = "salt" }``; ``[arrays.NAME]`` is a membrane array (``model``, ``stages = [[vessels, elements], ...]``,
``element_area``, ``element_pressure_drop_bar``, element slots; ``[arrays.NAME.stage2]``
for one stage's slots and booster; ``[arrays.NAME.datasheet]`` to fit the element;
see :meth:`Flowsheet.array`); ``[mixers.NAME] inlets = N``, ``[splitters.NAME]
fractions = [...]``, ``[heaters.NAME]`` and ``[coolers.NAME]``
(``outlet_temperature_c`` in °C or ``duty_kw`` in kW) and
``[tears."unit.port"]`` (start quantities, may be empty) complete the form. ``tolerance`` and ``max_iterations`` set the
recycle solve. Every mistake is one line naming the file, the entry and the
valid choices (:class:`PlantFileError`). ``title`` is for the reader.
"""

from __future__ import annotations

import math
import os
import pathlib
import tomllib
from collections.abc import Callable, ItemsView, Mapping, Sequence
from typing import Any, NoReturn, ParamSpec, TypedDict, TypeVar, cast

from .build import Flowsheet, FlowsheetError

# The class a plant is built into. hydrokit.flowsheet, which Python always runs before this
# module is used, sets it to its Flowsheet, the one with the economics (fs.optimize, res.costs).
FLOWSHEET = Flowsheet

# A plant file of the largest flowsheet (MAX_NODES nodes) takes a few MB;
# anything longer, or nested deeper than any plant needs, is refused before
# it is read or walked any further.
MAX_FILE_BYTES = 16 * 1024 * 1024
MAX_DEPTH = 16

TOP_LEVEL = ("title", "components", "tolerance", "max_iterations", "feeds", "units", "mixers", "splitters",
             "heaters", "coolers", "connect", "products", "tears", "arrays")
ARROW = "->"

_P = ParamSpec("_P")
_R = TypeVar("_R")


class _Options(TypedDict, total=False):
    """The recycle solve's settings a plant file may give."""

    tolerance: float
    max_iterations: int


class PlantFileError(ValueError):
    """A mistake in a plant file; the message is one line naming the file and the entry.

    Raised for text that is not TOML, an unknown or mistyped entry, and
    every :class:`FlowsheetError` of building the flowsheet (then prefixed
    with the file and the entry). It is a :class:`ValueError`. Mistakes that
    only compiling finds (an inlet left open, a feed connected to nothing)
    raise :class:`FlowsheetError` at the first solve.

    Examples
    --------
    >>> from hydrokit.flowsheet.plantfile import PlantFileError, loads
    >>> try:
    ...     loads('[units.hp]\\nmodel = "pump"\\npressure_rise = 5', "plant.toml")
    ... except PlantFileError as err:
    ...     print(str(err)[:105])
    plant.toml: units.hp: unit 'hp': unknown name 'pressure_rise' for pump; did you mean 'pressure_rise_bar'?
    """

    def __init__(self, message: object) -> None:
        # One line whatever the file holds: a key with a line break or of a million characters
        # is shown escaped and cut.
        text = "".join(c if c.isprintable() else repr(c)[1:-1] for c in str(message))
        super().__init__(text if len(text) <= 1000 else text[:1000] + " ...")


def _choices(names: Sequence[str]) -> str:
    return ", ".join(names) if names else "(none)"


def _short(value: object, limit: int = 60) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + "..."


def _number(value: object, where: str) -> float:
    # TOML booleans are ints in Python; a flag where a number belongs is a mistake.
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise PlantFileError(f"{where}: expected a number, got {_short(value)}")
    try:
        number = float(value)
    except OverflowError:
        raise PlantFileError(f"{where}: expected a finite number, got an integer beyond the range of a double") \
            from None
    if not math.isfinite(number):
        raise PlantFileError(f"{where}: expected a finite number, got {_short(value)}")
    return number


def _depth(data: dict[str, Any]) -> int:
    """How deep tables and arrays nest in ``data`` (a parsed document), without recursion."""
    pending: list[tuple[dict[str, Any] | list[Any], int]] = [(data, 1)]
    deepest = 0
    while pending:
        value, depth = pending.pop()
        deepest = max(deepest, depth)
        if depth > MAX_DEPTH:
            break
        children = value.values() if isinstance(value, dict) else value
        pending += [(v, depth + 1) for v in children if isinstance(v, (dict, list))]
    return deepest


def _table(data: Mapping[str, Any], key: str, where: str) -> dict[str, Any]:
    value = data.get(key, {})
    if not isinstance(value, dict):
        raise PlantFileError(f"{where}: expected a table [{key}.NAME], got {_short(value)}")
    return value


def _entries(data: Mapping[str, Any], key: str, file: str) -> ItemsView[str, dict[str, Any]]:
    """The named entries of a section, each checked to be a table."""
    section = _table(data, key, f"{file}: {key}")
    for name, body in section.items():
        if not isinstance(body, dict):
            raise PlantFileError(f"{file}: {key}.{name}: expected a table of settings, got {_short(body)}")
    return cast(dict[str, dict[str, Any]], section).items()  # each checked above


class _Builder:
    """Builds the flowsheet entry by entry; each of the engine's errors gets the entry's name."""

    def __init__(self, file: str) -> None:
        self.file = file

    def call(self, where: str, fn: Callable[_P, _R], *args: _P.args, **kwargs: _P.kwargs) -> _R:
        try:
            return fn(*args, **kwargs)
        except FlowsheetError as err:
            raise PlantFileError(f"{self.file}: {where}: {err}") from None

    def fail(self, where: str, message: str) -> NoReturn:
        raise PlantFileError(f"{self.file}: {where}: {message}")


def loads(text: str, file: str = "<plant>") -> Flowsheet:
    """The :class:`Flowsheet` described by TOML ``text``; ``file`` names it in messages.

    Parameters
    ----------
    text : str
        A plant file's text (the form is in this module's description;
        flows in m³/s, temperatures in °C, pressures in bar, components in
        g/m³, unit slots in the model's own units).
    file : str, optional
        The name messages give the text (default ``"<plant>"``).

    Returns
    -------
    Flowsheet
        Built in the file's order: feeds, units, mixers, splitters,
        connections, products, tears.

    Raises
    ------
    PlantFileError
        For text that is not TOML or any mistake in an entry (one line
        naming ``file`` and the entry).

    Examples
    --------
    >>> from hydrokit.flowsheet.plantfile import loads
    >>> fs = loads('''
    ... components = ["salt"]
    ... connect = ["sea -> hp.inlet"]
    ... [feeds.sea]
    ... flow = 1e-3        # m³/s
    ... salt = 35000       # g/m³
    ... [units.hp]
    ... model = "pump"
    ... pressure_rise_bar = 5
    ... [products]
    ... out = "hp.outlet"
    ... ''')
    >>> round(fs.solve().kpis["electric_power_kw"], 4)                # kW
    0.7018
    """
    if len(text) > MAX_FILE_BYTES:
        raise PlantFileError(f"{file}: longer than {MAX_FILE_BYTES:_} characters; a plant file is at most that long")
    too_deep = f"{file}: tables and arrays nested deeper than {MAX_DEPTH} levels; a plant file needs at most 3"
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as err:
        raise PlantFileError(f"{file}: not valid TOML: {err}") from None
    except RecursionError:  # the reader recurses once per level
        raise PlantFileError(too_deep) from None
    if _depth(data) > MAX_DEPTH:
        raise PlantFileError(too_deep)
    b = _Builder(file)
    from .build import MAX_NODES

    sections = ("feeds", "units", "mixers", "splitters", "heaters", "coolers", "arrays")
    declared = sum(len(data[k]) for k in sections if isinstance(data.get(k), dict))
    if declared > MAX_NODES:  # counted before a single node is built
        b.fail(", ".join(sections), f"{declared:_} declared; a plant holds at most {MAX_NODES:_}")
    unknown = [k for k in data if k not in TOP_LEVEL]
    if unknown:
        b.fail(unknown[0], f"unknown entry; choose from: {_choices(TOP_LEVEL)}")

    components = data.get("components", [])
    if not ((isinstance(components, list) and all(isinstance(c, str) for c in components)) or
            (isinstance(components, dict) and all(isinstance(k, str) for k in components.values()))):
        b.fail("components", f'expected a list of names or a table name = "kind", got {_short(components)}')
    options: _Options = {}
    if "tolerance" in data:
        options["tolerance"] = _number(data["tolerance"], f"{file}: tolerance")
    if "max_iterations" in data:
        value = data["max_iterations"]
        if isinstance(value, bool) or not isinstance(value, int):
            b.fail("max_iterations", f"expected a whole number, got {_short(value)}")
        options["max_iterations"] = value
    title = data.get("title", "")
    if not isinstance(title, str):
        b.fail("title", f"expected a text, got {_short(title)}")
    try:
        fs = FLOWSHEET(components, **options)
    except FlowsheetError as err:
        # Name the entry the message is about.
        entry = next((k for k in ("max_iterations", "tolerance") if str(err).startswith(k)), "components")
        b.fail(entry, str(err))

    for name, body in _entries(data, "feeds", file):
        body = dict(body)
        utility = body.pop("utility", False)
        if not isinstance(utility, bool):
            b.fail(f"feeds.{name}.utility", f"expected true or false, got {_short(utility)}")
        water = body.pop("water", None)
        if water is not None and not isinstance(water, str):
            b.fail(f"feeds.{name}.water", f"expected a water class name, got {_short(water)}")
        values = {k: _number(v, f"{file}: feeds.{name}.{k}") for k, v in body.items()}
        b.call(f"feeds.{name}", fs.feed, name, utility=utility, water=water, **values)

    for name, body in _entries(data, "units", file):
        where = f"units.{name}"
        body = dict(body)
        model = body.pop("model", None)
        if not isinstance(model, str):
            b.fail(where, 'needs model = "<model name>"')
        limits = body.pop("checks", {})
        if not isinstance(limits, dict):
            b.fail(f"{where}.checks", f'expected a table check = limit or "off", got {_short(limits)}')
        mapping = body.pop("components", None)
        if mapping is not None and not (isinstance(mapping, dict) and all(isinstance(v, str) for v in mapping.values())):
            b.fail(f"{where}.components", f'expected a table slot = "component", got {_short(mapping)}')
        settings = {k: _number(v, f"{file}: {where}.{k}") for k, v in body.items()}
        b.call(where, fs.unit, name, model, components=mapping, **settings)
        for check, limit in limits.items():
            b.call(f"{where}.checks.{check}", fs.check_limit, name, check, limit)

    for name, body in _entries(data, "arrays", file):
        _array(b, fs, name, dict(body))

    for name, body in _entries(data, "mixers", file):
        unknown = [k for k in body if k != "inlets"]
        if unknown:
            b.fail(f"mixers.{name}.{unknown[0]}", "unknown entry; choose from: inlets")
        inlets = body.get("inlets", 2)
        if isinstance(inlets, bool) or not isinstance(inlets, int):
            b.fail(f"mixers.{name}.inlets", f"expected a whole number, got {_short(inlets)}")
        b.call(f"mixers.{name}", fs.mixer, name, inlets=inlets)

    for name, body in _entries(data, "splitters", file):
        unknown = [k for k in body if k != "fractions"]
        if unknown or "fractions" not in body:
            b.fail(f"splitters.{name}", "needs fractions = [f1, f2, ...] and nothing else")
        fractions = body["fractions"]
        if not isinstance(fractions, list):
            b.fail(f"splitters.{name}.fractions", f"expected a list of numbers, got {_short(fractions)}")
        fracs = [_number(f, f"{file}: splitters.{name}.fractions") for f in fractions]
        b.call(f"splitters.{name}", fs.splitter, name, fracs)

    for kind in ("heaters", "coolers"):
        add = fs.heater if kind == "heaters" else fs.cooler
        for name, body in _entries(data, kind, file):
            body = dict(body)
            limits = body.pop("checks", {})
            if not isinstance(limits, dict):
                b.fail(f"{kind}.{name}.checks", f'expected a table check = limit or "off", got {_short(limits)}')
            unknown = [k for k in body if k not in ("outlet_temperature_c", "duty_kw")]
            if unknown or len(body) != 1:
                b.fail(f"{kind}.{name}", "needs outlet_temperature_c = <°C> or duty_kw = <kW>, one of them only")
            values = {k: _number(v, f"{file}: {kind}.{name}.{k}") for k, v in body.items()}
            b.call(f"{kind}.{name}", add, name, **values)
            for check, limit in limits.items():
                b.call(f"{kind}.{name}.checks.{check}", fs.check_limit, name, check, limit)

    connect = data.get("connect", [])
    if not isinstance(connect, list):
        b.fail("connect", f'expected a list of "source -> target" lines, got {_short(connect)}')
    for i, line in enumerate(connect):
        where = f"connect[{i}]"
        if not isinstance(line, str) or line.count(ARROW) != 1:
            b.fail(where, f'expected "source -> target" (e.g. "sea -> hp.inlet"), got {_short(line)}')
        source, target = (part.strip() for part in line.split(ARROW))
        b.call(f"{where} {line!r}", fs.connect, source, target)

    for name, source in _table(data, "products", f"{file}: products").items():
        if not isinstance(source, str):
            b.fail(f"products.{name}", f'expected a stream name "unit.port", got {_short(source)}')
        b.call(f"products.{name}", fs.product, name, source)

    for stream, start in _entries(data, "tears", file):
        values = {k: _number(v, f"{file}: tears.{stream}.{k}") for k, v in start.items()}
        b.call(f"tears.{stream}", fs.tear, stream, **values)
    return fs


def _array(b: _Builder, fs: Flowsheet, name: str, body: dict[str, Any]) -> None:
    """``[arrays.NAME]``: model, stages = [[vessels, elements], ...], element_area, element slots;
    ``[arrays.NAME.stage2]`` per-stage slots (and vessels, booster_bar, booster_efficiency);
    ``[arrays.NAME.datasheet]`` the element's datasheet (permeate_flow_m3d or permeate_flow,
    salt_rejection, pressure_bar, concentration, temperature_c, recovery)."""
    where = f"arrays.{name}"
    model = body.pop("model", None)
    if not isinstance(model, str):
        b.fail(where, 'needs model = "<element model name>"')
    stages = body.pop("stages", None)
    if not (isinstance(stages, list) and stages and all(isinstance(s, list) and len(s) == 2 for s in stages)):
        b.fail(f"{where}.stages", f"expected [[vessels, elements], ...], got {_short(stages)}")
    mapping = body.pop("components", None)
    if mapping is not None and not (isinstance(mapping, dict) and all(isinstance(v, str) for v in mapping.values())):
        b.fail(f"{where}.components", f'expected a table slot = "component", got {_short(mapping)}')
    limits = body.pop("checks", {})
    if not isinstance(limits, dict):
        b.fail(f"{where}.checks", f'expected a table check = limit or "off", got {_short(limits)}')
    datasheet = body.pop("datasheet", None)
    if datasheet is not None:
        if not isinstance(datasheet, dict):
            b.fail(f"{where}.datasheet", f"expected a table of figures, got {_short(datasheet)}")
        datasheet = {k: _number(v, f"{b.file}: {where}.datasheet.{k}") for k, v in datasheet.items()}
    options: dict[str, float] = {}
    for key in ("element_area", "element_pressure_drop_bar", "fouling_factor", "design_temperature_c"):
        if key in body:
            options[key] = _number(body.pop(key), f"{b.file}: {where}.{key}")
    if "element_area" not in options:
        b.fail(where, "needs element_area = <m² per element>")
    settings: dict[str, float] = {}
    for key, value in body.items():
        if isinstance(value, dict) and key.startswith("stage"):
            settings.update({f"{key}.{k}": _number(v, f"{b.file}: {where}.{key}.{k}") for k, v in value.items()})
        else:
            settings[key] = _number(value, f"{b.file}: {where}.{key}")
    for k, stage in enumerate(stages):
        for v in stage:
            if isinstance(v, bool) or not isinstance(v, int):
                b.fail(f"{where}.stages", f"stage {k + 1}: vessels and elements are whole numbers, got {_short(stage)}")
    b.call(where, fs.array, name, model, stages=[tuple(s) for s in stages], components=mapping,
           datasheet=datasheet, **options, **settings)
    for check, limit in limits.items():
        b.call(f"{where}.checks.{check}", fs.check_limit, name, check, limit)


def load(path: str | os.PathLike[str]) -> Flowsheet:
    """The :class:`Flowsheet` of the plant file at ``path``.

    Parameters
    ----------
    path : str or os.PathLike
        A UTF-8 TOML plant file (see :func:`loads` and this module's
        description; the repository's ``examples/*.toml`` are plant files).

    Returns
    -------
    Flowsheet

    Raises
    ------
    PlantFileError
        For a file that cannot be read (or is not UTF-8), and every mistake
        :func:`loads` reports, named by the path.

    Examples
    --------
    >>> import pathlib, tempfile
    >>> from hydrokit.flowsheet.plantfile import load
    >>> path = pathlib.Path(tempfile.mkdtemp()) / "pump.toml"
    >>> _ = path.write_text('''connect = ["w -> hp"]
    ... [feeds.w]
    ... flow = 2e-3     # m³/s
    ... [units.hp]
    ... model = "pump"
    ... ''', encoding="utf-8")
    >>> sorted(load(path).units)
    ['hp']
    >>> load(path.with_name("missing.toml"))
    Traceback (most recent call last):
    ...
    hydrokit.flowsheet.plantfile.PlantFileError: ...missing.toml: cannot read the plant file: No such file or directory
    """
    path = pathlib.Path(path)
    try:
        # Read at most one byte past the limit: a device or a pipe without end is refused too.
        with open(path, "rb") as handle:
            raw = handle.read(MAX_FILE_BYTES + 1)
        if len(raw) > MAX_FILE_BYTES:
            raise PlantFileError(f"{path}: longer than {MAX_FILE_BYTES:_} bytes; a plant file is at most that long")
        text = raw.decode("utf-8")
    except (OSError, UnicodeDecodeError) as err:
        raise PlantFileError(f"{path}: cannot read the plant file: {getattr(err, 'strerror', None) or err}") from None
    return loads(text, str(path))

