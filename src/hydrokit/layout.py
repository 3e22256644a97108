"""Names and units of every vector slot, per model, and helpers to use them.

The slot tables live in ``hydrokit.tables.<model>``: each defines
``DESCRIPTION`` and the tuples ``INPUT``, ``PARAMS`` and ``OUTPUT`` of
``(name, unit)`` pairs in index order. A table may also define
``output_slots(p)`` when the output positions depend on the parameters.

>>> from hydrokit.layout import layout
>>> lay = layout("pump")
>>> u, p = lay.vectors(feed_flow=0.001, pressure_rise_bar=5)
>>> lay.outputs(lay.module.run(u, p))["pump_power_kw"]  # doctest: +ELLIPSIS
0.70...
"""

from __future__ import annotations

import functools
import importlib
import math
from dataclasses import dataclass

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


@dataclass(frozen=True)
class Slot:
    index: int
    name: str
    unit: str


class LayoutError(KeyError):
    """An unknown model or slot name; the message names the valid choices."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""


def _table(name):
    return importlib.import_module(f"{__package__}.tables.{name}")


@functools.cache
def models():
    """Names of the models this installation provides, in catalogue order."""
    found = []
    for name in CATALOGUE:
        try:
            _table(name)
        except ModuleNotFoundError:
            continue
        found.append(name)
    return tuple(found)


def _slots(pairs):
    return tuple(Slot(i, name, unit) for i, (name, unit) in enumerate(pairs))


class Layout:
    """The named vector layout of one model."""

    def __init__(self, model):
        table = _table(model)
        self.model = model
        self.description = table.DESCRIPTION
        self.inputs = _slots(table.INPUT)
        self.params = _slots(table.PARAMS)
        self.output_slots_default = _slots(table.OUTPUT)
        self._output_slots = getattr(table, "output_slots", None)
        self._input_index = {s.name: s.index for s in self.inputs}
        self._param_index = {s.name: s.index for s in self.params}

    def __repr__(self):
        return f"Layout({self.model!r})"

    @property
    def module(self):
        """The extension module ``hydrokit.<model>`` (imported on first use)."""
        return importlib.import_module(f"{__package__}.{self.model}")

    def output_slots(self, p=None):
        """Output slots; for models whose positions depend on ``p``, for that ``p``."""
        if p is None or self._output_slots is None:
            return self.output_slots_default
        return _slots(self._output_slots(p))

    def input_index(self, name):
        try:
            return self._input_index[name]
        except KeyError:
            raise LayoutError(self._unknown(name, self._input_index)) from None

    def param_index(self, name):
        try:
            return self._param_index[name]
        except KeyError:
            raise LayoutError(self._unknown(name, self._param_index)) from None

    def _unknown(self, name, choices):
        return f"unknown name {name!r} for {self.model}; choose from: {', '.join(choices)}"

    def input_vector(self, **overrides):
        """The default input vector with the named slots replaced."""
        u = self.module.default_input()
        for name, value in overrides.items():
            u[self.input_index(name)] = value
        return u

    def param_vector(self, **overrides):
        """The default parameter vector with the named slots replaced."""
        p = self.module.default_params()
        for name, value in overrides.items():
            p[self.param_index(name)] = value
        return p

    def resolve(self, name):
        """Which vector a name belongs to: ``("u", index)`` or ``("p", index)``.

        A name found in both vectors must be written ``u.name`` or ``p.name``.
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

    def vectors(self, **overrides):
        """Default ``(u, p)`` with named overrides taken from either vector."""
        u = self.module.default_input()
        p = self.module.default_params()
        for name, value in overrides.items():
            vector, index = self.resolve(name)
            (u if vector == "u" else p)[index] = value
        return u, p

    def outputs(self, y, p=None):
        """The output vector as an ordered name → value mapping."""
        slots = self.output_slots(p)
        if len(y) != len(slots):
            raise ValueError(f"{self.model}: output vector length must be {len(slots)}, got {len(y)}")
        return {s.name: float(y[s.index]) for s in slots if s.name}

    def units(self, p=None):
        """Output name → unit."""
        return {s.name: s.unit for s in self.output_slots(p) if s.name}


@functools.cache
def layout(model):
    """The :class:`Layout` of a model, by name."""
    if model not in models():
        raise LayoutError(f"unknown model {model!r}; choose from: {', '.join(models())}")
    return Layout(model)


def format_value(value):
    """The shortest text that reads back as the same double."""
    return repr(float(value)) if math.isfinite(value) else str(float(value))
