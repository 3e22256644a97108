"""The command line's one set of rules, and the package's import graph."""

import ast
import os
import pathlib
import subprocess
import sys

import pytest

from hydrokit.__main__ import main

ROOT = pathlib.Path(__file__).resolve().parents[1]
PACKAGE = ROOT / "src" / "hydrokit"
PLANT = str(ROOT / "examples" / "seawater_ro.toml")
VARY = ["--vary", "ro.membrane_area=50:200", "--vary", "erd.recovery_efficiency=0.8:0.97"]


@pytest.mark.parametrize("command, options", [
    ("flowsheet", []),
    ("flowsheet", ["--json"]),
    ("diagram", ["--out", "{tmp}/d.svg"]),
    ("report", ["--out", "{tmp}/r.html"]),
    ("costs", []),
    ("optimize", VARY),
    ("map", VARY[:2] + ["--vary", "erd.recovery_efficiency=0.8:0.97:3", "--out", "{tmp}/m.png"]),
])
@pytest.mark.parametrize("words, message", [
    (["hp.pressure_rise_bar=50", "hp.pressure_rise_bar=60"], "hp.pressure_rise_bar is given twice"),
    (["hp.pressure_rise_bar=50", "hp.pressure_rise_bar=abc"], "hp.pressure_rise_bar is given twice"),
    (["hp.pressure_rise_bar=nan"], "must be a finite number"),
    (["pressure_rise_bar=50"], "expected unit.slot=value"),
])
def test_every_plant_command_reads_its_values_by_one_rule(command, options, words, message, tmp_path, capsys):
    argv = [command, PLANT, *words, *(o.replace("{tmp}", str(tmp_path)) for o in options)]
    assert main(argv) == 2
    captured = capsys.readouterr()
    assert captured.out == "" and message in captured.err
    assert captured.err.startswith(f"hydrokit {command}: ") and captured.err.count("\n") == 1
    assert list(tmp_path.iterdir()) == []  # refused before anything was solved or written


def test_two_spellings_of_one_plant_slot_are_refused():
    # Names differ, the slot is the same: the plant's own check catches it after the words are read.
    assert main(["flowsheet", PLANT, "hp.pressure_rise_bar=50", "hp.p.pressure_rise_bar=60"]) == 2


def _module(path):
    parts = list(path.relative_to(PACKAGE.parent).with_suffix("").parts)
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts), parts[-1] == "__init__"


def import_graph():
    """Module -> modules of the package it imports, at module level or inside functions.

    ``from X import name`` is an edge to ``X.name`` when that is a module, else to ``X``;
    the parent packages Python initialises on the way are not edges (they run once, first).
    """
    modules = dict(_module(p) for p in PACKAGE.rglob("*.py"))
    graph = {}
    for path in PACKAGE.rglob("*.py"):
        name, is_package = _module(path)
        here = name if is_package else name.rpartition(".")[0]
        targets = set()
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.Import):
                targets.update(a.name for a in node.names)
            elif isinstance(node, ast.ImportFrom):
                base = here.split(".")[:len(here.split(".")) - node.level + 1] if node.level else []
                source = ".".join(base + ([node.module] if node.module else []))
                for alias in node.names:
                    sub = f"{source}.{alias.name}"
                    targets.add(sub if sub in modules else source)
        graph[name] = {t for t in targets if t in modules and t != name}
    return graph


def cycles(graph):
    """The strongly connected groups of more than one module (Tarjan's algorithm, iteratively)."""
    index, low, stack, on_stack, found, counter = {}, {}, [], set(), [], 0
    for start in graph:
        if start in index:
            continue
        work = [(start, iter(sorted(graph[start])))]
        index[start] = low[start] = counter
        counter += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, children = work[-1]
            child = next(children, None)
            if child is not None:
                if child not in index:
                    index[child] = low[child] = counter
                    counter += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(sorted(graph[child]))))
                elif child in on_stack:
                    low[node] = min(low[node], index[child])
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                group = set()
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    group.add(member)
                    if member == node:
                        break
                if len(group) > 1:
                    found.append(group)
    return found


@pytest.mark.parametrize("graph, expected", [
    ({"a": {"b"}, "b": {"c"}, "c": set()}, []),
    ({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}, [{"a", "b", "c"}]),
    ({"a": {"b"}, "b": {"a"}, "c": {"d"}, "d": {"c"}}, [{"a", "b"}, {"c", "d"}]),
])
def test_cycles_are_found(graph, expected):
    assert sorted(map(sorted, cycles(graph))) == sorted(map(sorted, expected))


def test_the_walk_sees_function_level_and_relative_imports():
    graph = import_graph()
    assert "hydrokit.cli.presentation" in graph["hydrokit.cli.flowsheet"]  # inside main()
    assert "hydrokit.checks" in graph["hydrokit.flowsheet.columns"]  # inside a function, two dots


# The layers, lowest first: a module may import from its own layer and those below. A name stands
# for the module and those inside it, "name.*" for those inside it only: the flowsheet's inner
# modules are a layer below the economics, its package (the facade adding fs.optimize and
# res.costs) a layer above.
LAYERS = [
    ("hydrokit.present",),
    ("hydrokit.tables", "hydrokit.layout", "hydrokit.ports", "hydrokit.checks", "hydrokit.membranes"),
    ("hydrokit.batch",),
    ("hydrokit.flowsheet.*",),
    ("hydrokit.costing", "hydrokit.costbase", "hydrokit.costshare", "hydrokit.search", "hydrokit.optimize"),
    ("hydrokit.flowsheet", "hydrokit.display", "hydrokit.cli", "hydrokit.__main__"),
]


def layer(module):
    """The layer of a module (the models and the package itself: -1, below everything)."""
    for rank, names in enumerate(LAYERS):
        for name in names:
            inside = module.startswith(name[:-1]) if name.endswith(".*") else module.startswith(name + ".")
            if module == name or inside:
                return rank
    return -1


@pytest.mark.parametrize("module, rank", [
    ("hydrokit.pump", -1), ("hydrokit", -1), ("hydrokit.present.units", 0), ("hydrokit.tables.pump", 1),
    ("hydrokit.flowsheet.build", 3), ("hydrokit.optimize", 4), ("hydrokit.flowsheet", 5), ("hydrokit.cli.plot", 5),
])
def test_layers_tell_the_facade_from_the_modules_inside_it(module, rank):
    assert layer(module) == rank


def test_imports_go_down_the_layers_and_close_no_cycle():
    graph = import_graph()
    assert {(m, t) for m, targets in graph.items() for t in targets if 0 <= layer(m) < layer(t)} == set()
    assert cycles(graph) == []


def test_the_optimiser_and_the_flowsheets_inner_modules_do_not_reach_the_facade():
    graph = import_graph()
    # The search sees a plant through its public methods; of the flowsheet package it reads the
    # limits and number check only.
    assert {t for t in graph["hydrokit.optimize"] if t.startswith("hydrokit.flowsheet")} == {"hydrokit.flowsheet.nodes"}
    inner = [m for m in graph if m.startswith("hydrokit.flowsheet.") and m != "hydrokit.flowsheet.plantfile"]
    assert [m for m in inner if "hydrokit.flowsheet.build" in graph[m]] == []
    assert [m for m in graph if layer(m) < layer("hydrokit.flowsheet") and "hydrokit.flowsheet" in graph[m]] == []


FIRST_IMPORTS = """
import importlib, os, sys, traceback
import numpy  # loaded once before the forks: the order that matters is the package's own
failed = []
for name in sys.argv[1:]:
    pid = os.fork()
    if pid == 0:  # an interpreter that has imported nothing of the package yet
        try:
            importlib.import_module(name)
        except BaseException:
            traceback.print_exc()
            sys.stderr.flush()
            os._exit(1)
        os._exit(0)
    if os.waitpid(pid, 0)[1] != 0:
        failed.append(name)
print(failed)
"""


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_every_module_imports_first_in_a_fresh_interpreter():
    # Python runs a package's __init__ before any module in it: importing each module first is
    # what would meet a partly initialised module, were a runtime cycle to come back.
    names = sorted(import_graph())
    done = subprocess.run([sys.executable, "-c", FIRST_IMPORTS, *names], capture_output=True, text=True,
                          timeout=300)
    assert (done.returncode, done.stdout.strip()) == (0, "[]"), done.stderr[-3000:]
    assert "hydrokit.flowsheet.build" in names  # the walk found the package


def test_every_way_to_a_plant_gives_the_classes_with_the_economics():
    import hydrokit
    from hydrokit.flowsheet import Flowsheet, Result, build, plantfile, results

    plants = [hydrokit.Flowsheet(), hydrokit.flowsheet.load_plant(PLANT), plantfile.load(PLANT)]
    assert [type(fs) for fs in plants] == [Flowsheet] * 3 and issubclass(Flowsheet, build.Flowsheet)
    fs = plants[2]
    by_row, _ = fs.row_solver(["hp.pressure_rise_bar"])([60.0])
    solved = fs.solve(**{"hp.pressure_rise_bar": 60.0})
    assert type(by_row) is type(solved) is Result and issubclass(Result, results.Result)
    assert by_row.costs().lcow == solved.costs().lcow  # the same point, priced by either path


def test_only_the_command_line_imports_the_command_line():
    graph = import_graph()
    users = sorted(m for m, targets in graph.items() if not m.startswith("hydrokit.cli")
                   and any(t == "hydrokit.cli" or t.startswith("hydrokit.cli.") for t in targets))
    assert users == ["hydrokit.__main__"]


def test_no_private_name_is_imported_from_another_module():
    modules = {_module(p)[0] for p in PACKAGE.rglob("*.py")}
    found = []
    for path in PACKAGE.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
            if isinstance(node, ast.ImportFrom) and (node.level or (node.module or "").startswith("hydrokit")):
                found += [f"{path.name}: {alias.name}" for alias in node.names
                          if alias.name.startswith("_") and not alias.name.startswith("__")
                          and alias.name != "_sweep"  # the compiled batch extension, a module
                          and not any(m.endswith("." + alias.name) for m in modules)]
    assert found == []
