"""Names and units of every vector slot, per model, and helpers to use them.

The slot tables live in ``hydrokit.tables.<model>``: each defines
``DESCRIPTION`` and the tuples ``INPUT``, ``PARAMS`` and ``OUTPUT`` of
``(name, unit)`` pairs in index order. A table may also define
``output_slots(p)`` when the output positions depend on the parameters, and
the optional ``INLETS``, ``OUTLETS``, ``DIAGNOSTICS`` and ``POWER``.

>>> from hydrokit.layout import layout
>>> lay = layout("pump")
>>> u, p = lay.vectors(feed_flow=0.001, pressure_rise_bar=5)
>>> lay.outputs(lay.module.run(u, p), p)["pump_power_kw"]  # doctest: +ELLIPSIS
0.70...
"""

from __future__ import annotations

import dataclasses
import difflib
import functools
import importlib
import math
from collections.abc import Callable, Iterable, Mapping, Sequence
from dataclasses import dataclass
from types import ModuleType
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from numpy.typing import ArrayLike, NDArray

# Every model of the package, in the order of the catalogue.
CATALOGUE = (
    "osmomech",
    "osmolumped",
    "osmoaxial",
    "osmocascade",
    "nanomech",
    "nanolumped",
    "ultramech",
    "ultrasimple",
    "micromech",
    "microsimple",
    "distilmech",
    "distillumped",
    "distilaxial",
    "biosimple",
    "biodynamic",
    "pump",
    "recoupsimple",
)

# Output units of values that are whole numbers: pass counts, 0/1 flags and codes.
INTEGER_UNITS = frozenset({"count", "flag", "code"})


@dataclass(frozen=True)
class Position:
    """One position of a vector: its index, name and unit."""

    index: int
    name: str
    unit: str


class LayoutError(KeyError):
    """An unknown model or slot name; the message names the valid choices."""

    def __str__(self) -> str:
        return str(self.args[0]) if self.args else ""


def did_you_mean(word: str, choices: Iterable[str]) -> str:
    """``"did you mean 'x'? "`` for the closest of ``choices`` to ``word``, or ``""``.

    >>> did_you_mean("osmomeh", ["osmomech", "pump"])
    "did you mean 'osmomech'? "
    """
    close = difflib.get_close_matches(word, list(choices), n=1, cutoff=0.6)
    return f"did you mean {close[0]!r}? " if close else ""


def unknown_model(name: str) -> str:
    """The message for a model name this installation does not provide."""
    return f"unknown model {name!r}; {did_you_mean(name, models())}choose from: {', '.join(models())}"


def _table(name: str) -> ModuleType:
    return importlib.import_module(f"{__package__}.tables.{name}")


@functools.cache
def models() -> tuple[str, ...]:
    """Names of the models this installation provides, in catalogue order.

    Returns
    -------
    tuple of str
        Model names such as ``"osmomech"``; each is importable as
        ``hydrokit.<name>`` and has a :class:`Layout`.

    Examples
    --------
    >>> from hydrokit.layout import models
    >>> models()[:2]
    ('osmomech', 'osmolumped')
    """
    found = []
    for name in CATALOGUE:
        try:
            _table(name)
        except ModuleNotFoundError:
            continue
        found.append(name)
    return tuple(found)


def _slots(pairs: Iterable[tuple[str, str]]) -> tuple[Position, ...]:
    return tuple(Position(i, name, unit) for i, (name, unit) in enumerate(pairs))


def port_fields(port: object) -> list[tuple[str, str]]:
    """The attributes of a port description as ``(name, text)`` pairs.

    Ports are described generically, by whatever attributes their objects
    carry (a dataclass, a named tuple, a mapping or a plain object).
    """
    if dataclasses.is_dataclass(port) and not isinstance(port, type):
        items: Iterable[tuple[str, Any]] = ((f.name, getattr(port, f.name)) for f in dataclasses.fields(port))
    elif hasattr(port, "_asdict"):
        items = port._asdict().items()
    elif isinstance(port, Mapping):
        items = port.items()
    elif hasattr(port, "__dict__") and not callable(port):
        items = ((k, v) for k, v in vars(port).items() if not k.startswith("_"))
    else:
        return [("", str(port))]
    return [(str(name), _field_text(value)) for name, value in items if value != ""]


def _field_text(value: object) -> str:
    if value is None:
        return "not read"
    if isinstance(value, str):
        return value
    if isinstance(value, (tuple, list)):
        return ", ".join(_field_text(v) for v in value)
    if isinstance(value, Mapping):
        return ", ".join(f"{k}={_field_text(v)}" for k, v in value.items())
    return str(value)


# How a flowsheet counts each kind of electric power output.
POWER_KINDS = {
    "drive": "counted in the plant's power",
    "feed_pump": "feed pump: the unit's information, not counted; pump units pay for the pressure",
    "recovered": "recovered: subtracted from the plant's power",
}


def power_text(entry: object) -> str:
    """One electric power output as text: ``name (kind)`` for a ``(name, kind)`` pair."""
    if isinstance(entry, (tuple, list)) and len(entry) == 2:
        kind = str(entry[1])
        meaning = POWER_KINDS.get(kind, kind.replace("_", " "))
        return f"{entry[0]} ({meaning})"
    return str(entry)


class Layout:
    """The named vector layout of one model.

    Get one with :func:`layout`. Attributes: ``model`` (the name),
    ``description``, ``inputs`` and ``params`` (tuples of :class:`Position` in
    index order), ``output_slots_default`` (the outputs at the default
    parameters), and, where the model's table has them, ``inlets``,
    ``outlets`` (port name -> port description), ``diagnostics`` (output
    name -> meaning of its values) and ``power`` (the outputs that are
    electric power); these are empty when the table has none.

    Examples
    --------
    >>> from hydrokit.layout import layout
    >>> lay = layout("osmomech")
    >>> lay.inputs[2]
    Position(index=2, name='feed_pressure_bar', unit='bar')
    >>> u, p = lay.vectors(feed_pressure_bar=40, recovery=0.5)
    >>> round(lay.outputs(lay.module.run(u, p))["membrane_area"], 2)  # m²
    3.57
    """

    def __init__(self, model: str) -> None:
        table = _table(model)
        self.model = model
        self.description: str = table.DESCRIPTION
        self.inputs = _slots(table.INPUT)
        self.params = _slots(table.PARAMS)
        self.output_slots_default = _slots(table.OUTPUT)
        self._output_slots: Callable[[Any], Sequence[tuple[str, str]]] | None = getattr(table, "output_slots", None)
        self._input_index = {s.name: s.index for s in self.inputs}
        self._param_index = {s.name: s.index for s in self.params}
        self.inlets: Mapping[str, Any] = dict(getattr(table, "INLETS", None) or {})
        self.outlets: Mapping[str, Any] = dict(getattr(table, "OUTLETS", None) or {})
        self.diagnostics: Mapping[str, str] = dict(getattr(table, "DIAGNOSTICS", None) or {})
        self.power: Any = getattr(table, "POWER", None) or ()

    def __repr__(self) -> str:
        return (f"<Layout {self.model}: {self.description}; {len(self.inputs)} inputs, "
                f"{len(self.params)} parameters, {len(self.output_slots_default)} outputs>")

    def _repr_html_(self) -> str:
        return layout_html(self)

    @property
    def module(self) -> ModuleType:
        """The extension module ``hydrokit.<model>`` (imported on first use)."""
        return importlib.import_module(f"{__package__}.{self.model}")

    @property
    def depends_on_params(self) -> bool:
        """Whether the output positions depend on the parameter vector.

        True for ``pump`` and ``recoupsimple`` (the result block follows the
        last carried component) and ``ultrasimple`` (the blocks follow the
        solute count); :meth:`outputs` then needs ``p``.
        """
        return self._output_slots is not None

    def output_slots(self, p: ArrayLike | None = None) -> tuple[Position, ...]:
        """The output slots, in index order; unused positions have the name ``""``.

        Parameters
        ----------
        p : array_like, optional
            The parameter vector the outputs were computed with. Required
            when :attr:`depends_on_params` is true; ignored otherwise.

        Returns
        -------
        tuple of Position

        Raises
        ------
        TypeError
            If ``p`` is omitted for a model whose output positions depend on it.
        """
        if self._output_slots is None:
            return self.output_slots_default
        if p is None:
            raise TypeError(self._needs_p())
        return _slots(self._output_slots(p))

    def _needs_p(self) -> str:
        count = self.params[0].name
        return (f"{self.model}: the output positions depend on {count} in the parameter vector; "
                f"pass it: outputs(y, p)")

    def input_index(self, name: str) -> int:
        """The index of an input slot.

        Raises
        ------
        LayoutError
            For a name that is not an input (the message suggests near names).
        """
        try:
            return self._input_index[name]
        except KeyError:
            raise LayoutError(self._unknown(name, self._input_index, "u")) from None

    def param_index(self, name: str) -> int:
        """The index of a parameter slot.

        Raises
        ------
        LayoutError
            For a name that is not a parameter (the message suggests near names).
        """
        try:
            return self._param_index[name]
        except KeyError:
            raise LayoutError(self._unknown(name, self._param_index, "p")) from None

    def _unknown(self, name: str, choices: Iterable[str], vector: str = "") -> str:
        choices = list(choices)
        if vector == "u" and name in self._param_index:
            return f"{name!r} is a parameter of {self.model}, not an input; write p.{name} or {name}"
        if vector == "p" and name in self._input_index:
            return f"{name!r} is an input of {self.model}, not a parameter; write u.{name} or {name}"
        return f"unknown name {name!r} for {self.model}; {did_you_mean(name, choices)}choose from: {', '.join(choices)}"

    def input_vector(self, **overrides: float) -> NDArray[Any]:
        """The default input vector with the named slots replaced.

        Parameters
        ----------
        **overrides : float
            Input names and their values, in the units of :meth:`units`.

        Returns
        -------
        numpy.ndarray
            A new float64 vector of length ``INPUT_WIDTH``.

        Raises
        ------
        LayoutError
            For a name that is not an input.

        Examples
        --------
        >>> from hydrokit.layout import layout
        >>> layout("pump").input_vector(feed_flow=0.002)[0]  # m³/s
        np.float64(0.002)
        """
        u: NDArray[Any] = self.module.default_input()
        for name, value in overrides.items():
            u[self.input_index(name)] = value
        return u

    def param_vector(self, **overrides: float) -> NDArray[Any]:
        """The default parameter vector with the named slots replaced.

        Parameters
        ----------
        **overrides : float
            Parameter names and their values.

        Returns
        -------
        numpy.ndarray
            A new float64 vector of length ``PARAM_WIDTH``.

        Raises
        ------
        LayoutError
            For a name that is not a parameter.

        Examples
        --------
        >>> from hydrokit.layout import layout
        >>> layout("osmomech").param_vector(recovery=0.5)[0]  # fraction
        np.float64(0.5)
        """
        p: NDArray[Any] = self.module.default_params()
        for name, value in overrides.items():
            p[self.param_index(name)] = value
        return p

    def resolve(self, name: str) -> tuple[str, int]:
        """Which vector a name belongs to: ``("u", index)`` or ``("p", index)``.

        Parameters
        ----------
        name : str
            A slot name, or ``u.name`` / ``p.name`` to pick the vector.
            A name found in both vectors must be written with its vector.

        Raises
        ------
        LayoutError
            For an unknown name, a name in both vectors written bare, or a
            name written with the wrong vector (``u.recovery``).

        Examples
        --------
        >>> from hydrokit.layout import layout
        >>> layout("osmomech").resolve("recovery")
        ('p', 0)
        """
        vector, _, bare = name.rpartition(".")
        if vector in ("u", "p"):
            index = self.input_index(bare) if vector == "u" else self.param_index(bare)
            return vector, index
        in_u, in_p = name in self._input_index, name in self._param_index
        if in_u and in_p:
            raise LayoutError(f"name {name!r} of {self.model} is both an input and a parameter; "
                              f"write u.{name} or p.{name}")
        if in_u:
            return "u", self._input_index[name]
        if in_p:
            return "p", self._param_index[name]
        raise LayoutError(self._unknown(name, [*self._input_index, *self._param_index]))

    def vectors(self, **overrides: float) -> tuple[NDArray[Any], NDArray[Any]]:
        """Default ``(u, p)`` with named overrides taken from either vector.

        Parameters
        ----------
        **overrides : float
            Input or parameter names (``u.name`` / ``p.name`` where a name is
            in both; pass those as ``**{"u.name": value}``) and their values.

        Returns
        -------
        (numpy.ndarray, numpy.ndarray)
            New input and parameter vectors.

        Raises
        ------
        LayoutError
            For an unknown or ambiguous name.
        ValueError
            If two overrides name the same slot (``feed_flow`` and ``u.feed_flow``).

        Examples
        --------
        >>> from hydrokit.layout import layout
        >>> u, p = layout("pump").vectors(feed_flow=1 / 3600, pressure_rise_bar=29)  # m³/s, bar
        >>> float(u[0] * 3600), float(p[2])
        (1.0, 29.0)
        """
        u: NDArray[Any] = self.module.default_input()
        p: NDArray[Any] = self.module.default_params()
        seen: dict[tuple[str, int], str] = {}
        for name, value in overrides.items():
            slot = self.resolve(name)
            if slot in seen:
                raise ValueError(f"{self.model}: {seen[slot]!r} and {name!r} name the same slot")
            seen[slot] = name
            vector, index = slot
            (u if vector == "u" else p)[index] = value
        return u, p

    def outputs(self, y: ArrayLike, p: ArrayLike | None = None) -> dict[str, float]:
        """The output vector as an ordered name -> value mapping.

        Parameters
        ----------
        y : array_like
            An output vector of this model, as ``run`` returns it.
        p : array_like, optional
            The parameter vector ``y`` was computed with. Required for
            models whose output positions depend on it (``pump``,
            ``recoupsimple``, ``ultrasimple``; see :attr:`depends_on_params`).

        Returns
        -------
        dict of str to float
            Every named output, in index order, in the units of :meth:`units`.

        Raises
        ------
        TypeError
            If ``p`` is needed and not given.
        ValueError
            If ``y`` has the wrong length.

        Examples
        --------
        >>> from hydrokit.layout import layout
        >>> lay = layout("pump")
        >>> u, p = lay.vectors(component_count=2)
        >>> list(lay.outputs(lay.module.run(u, p), p))[3:6]
        ['component1_conc', 'component2_conc', 'pump_power_kw']
        """
        import numpy as np

        slots = self.output_slots(p)
        values = np.asarray(y, dtype=np.float64)
        if values.ndim != 1 or len(values) != len(slots):
            raise ValueError(f"{self.model}: output vector length must be {len(slots)}, "
                             f"got {len(values) if values.ndim == 1 else values.shape}")
        return {s.name: float(values[s.index]) for s in slots if s.name}

    def units(self, p: ArrayLike | None = None) -> dict[str, str]:
        """Slot name -> unit, for the outputs, inputs and parameters.

        Outputs come first, in index order, then inputs and parameters not
        named like an output. A name that appears in several vectors has the
        same unit in each.

        Parameters
        ----------
        p : array_like, optional
            Limits the outputs to those present for this parameter vector
            (for models whose output positions depend on it).

        Examples
        --------
        >>> from hydrokit.layout import layout
        >>> units = layout("osmomech").units()
        >>> units["flux"], units["feed_pressure_bar"], units["recovery"]
        ('m/s', 'bar', 'fraction')
        """
        outputs = self.output_slots(p) if p is not None else self.output_slots_default
        table: dict[str, str] = {}
        for s in (*outputs, *self.inputs, *self.params):
            if s.name:
                table.setdefault(s.name, s.unit)
        return table

    def table(self, p: ArrayLike | None = None) -> Any:
        """Every slot as a table: vector, index, name, unit, default.

        Parameters
        ----------
        p : array_like, optional
            Output positions for this parameter vector (default: the
            default parameters).

        Returns
        -------
        pandas.DataFrame or dict of lists
            Columns ``vector`` (``"u"``, ``"p"`` or ``"y"``), ``index``,
            ``name``, ``unit`` and ``default`` (NaN for outputs), one row per
            named slot; a dict of the same columns when pandas is not
            installed.

        Examples
        --------
        >>> from hydrokit.layout import layout
        >>> t = layout("pump").table()
        >>> list(t["name"][:2]), list(t["unit"][:2])
        (['feed_flow', 'temperature_c'], ['m³/s', '°C'])
        """
        u0, p0 = self.module.default_input(), self.module.default_params()
        outputs = self.output_slots(p0 if p is None else p)
        columns: dict[str, list[Any]] = {"vector": [], "index": [], "name": [], "unit": [], "default": []}
        for vector, slots, defaults in (("u", self.inputs, u0), ("p", self.params, p0), ("y", outputs, None)):
            for s in slots:
                if not s.name:
                    continue
                columns["vector"].append(vector)
                columns["index"].append(s.index)
                columns["name"].append(s.name)
                columns["unit"].append(s.unit)
                columns["default"].append(math.nan if defaults is None else float(defaults[s.index]))
        try:
            import pandas
        except ImportError:
            return columns
        return pandas.DataFrame(columns)


@functools.cache
def layout(model: str) -> Layout:
    """The :class:`Layout` of a model, by name.

    Parameters
    ----------
    model : str
        A name from :func:`models`.

    Returns
    -------
    Layout
        The same object for every call with the same name.

    Raises
    ------
    LayoutError
        For a name this installation does not provide (the message suggests
        near names and lists the models).

    Examples
    --------
    >>> from hydrokit.layout import layout
    >>> layout("osmomech").description
    'Physical reverse osmosis'
    """
    if model not in models():
        raise LayoutError(unknown_model(model))
    return Layout(model)


def is_integer_slot(slot: Position) -> bool:
    """Whether an output holds whole numbers: pass counts, flags, status codes."""
    return slot.unit in INTEGER_UNITS or slot.name == "status_code"


def format_value(value: float, digits: int | None = None, integer: bool = False) -> str:
    """A value as text: by default the shortest text that reads back as the same double.

    ``digits`` gives that many significant digits instead; ``integer``
    writes a whole finite number without a decimal point.
    """
    value = float(value)
    if not math.isfinite(value):
        return str(value)
    if integer and value == int(value):
        return str(int(value))
    if digits is not None:
        return f"{value:.{digits}g}"
    return repr(value)


def layout_html(lay: Layout) -> str:
    """A layout as HTML: the model, its description and every slot of u, p and y with its unit."""
    from html import escape

    from .present.html import table, wrap

    rows: list[list[object]] = []
    for vector, slots in (("u", lay.inputs), ("p", lay.params), ("y", lay.output_slots_default)):
        rows += [[vector, s.index, s.name, s.unit] for s in slots]
    return wrap(f"<h3>{escape(lay.model)}</h3><p>{escape(lay.description)}</p>" +
                table(["vector", "index", "name", "unit"], rows))
