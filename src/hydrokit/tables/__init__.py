"""Slot tables of the models: the one description of each model's vectors.

Each ``hydrokit.tables.<model>`` gives ``INPUT``, ``PARAMS`` and ``OUTPUT`` as
``(name, unit)`` pairs in index order, ``DEFAULT_INPUT`` and ``DEFAULT_PARAMS``
(the default of every input and parameter slot by name, as the exact double),
``BLOCKS`` (sizes of repeated slot blocks, where the core names them),
``COST_CLASS``, and its ports, power, diagnostics and flags. The C++ layouts
and default arrays are generated from these tables at build time
(tools/gen_slots.py); the stubs, the reference pages and the costing read
them too.
"""


from types import ModuleType


def default_vectors(table: ModuleType) -> tuple[list[float], list[float]]:
    """The default input and parameter vectors of a table, as lists in slot order."""
    return ([table.DEFAULT_INPUT[name] for name, _ in table.INPUT],
            [table.DEFAULT_PARAMS[name] for name, _ in table.PARAMS])
