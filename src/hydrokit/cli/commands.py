"""The command table of ``python -m hydrokit``: name -> ("module:function", one line of help).

Every function has the one command signature ``(argv, out, err, prog) -> status``
(see :mod:`hydrokit.cli.common`); its module is imported only when the command runs.
"""

from __future__ import annotations

COMMANDS: dict[str, tuple[str, str]] = {
    "plot": ("hydrokit.cli.plot:main", "draw chosen outputs of a model against one swept input or parameter"),
    "flowsheet": ("hydrokit.cli.flowsheet:main", "solve a plant file: streams, unit outputs and key figures"),
    "diagram": ("hydrokit.cli.presentation:diagram_main",
                "draw a plant file's flowsheet as SVG (PNG, PDF with matplotlib)"),
    "report": ("hydrokit.cli.presentation:report_main",
               "write a plant's design report as one self-contained HTML page"),
    "costs": ("hydrokit.cli.economics:costs_main", "capital and operating costs, LCOW and SEC of a plant file"),
    "optimize": ("hydrokit.cli.economics:optimize_main",
                 "minimise LCOW, SEC or a key figure of a plant over chosen slots"),
    "map": ("hydrokit.cli.economics:map_main", "draw LCOW (or a key figure) over two varied slots, optimum marked"),
}
