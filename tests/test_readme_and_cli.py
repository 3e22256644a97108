"""The README's Python examples run as written, and the command line behaves."""

import json
import pathlib
import re
import subprocess
import sys

import pytest

import hydrokit

from hydrokit.__main__ import main
from hydrokit.layout import layout, models

README = pathlib.Path(__file__).resolve().parents[1] / "README.md"


def python_blocks():
    return re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), flags=re.S)


@pytest.mark.parametrize("index", range(len(python_blocks())))
def test_readme_python_examples_run(index, capsys):
    block = python_blocks()[index]
    exec(compile(block, f"README block {index}", "exec"), {})
    printed = capsys.readouterr().out.strip()
    # A trailing comment line in a block shows what the block prints.
    shown = [line[2:] for line in block.strip().splitlines() if line.startswith("# ")]
    if shown and printed:
        assert printed == shown[-1]


def cli(*args):
    proc = subprocess.run([sys.executable, "-m", "hydrokit", *args], capture_output=True, text=True)
    return proc.returncode, proc.stdout, proc.stderr


def test_listing_names_every_model():
    code, out, err = cli()
    assert code == 0 and not err
    lines = out.splitlines()
    assert [line.split()[0] for line in lines] == list(models())
    for line, name in zip(lines, models()):
        assert line.endswith(layout(name).description)


def test_osmomech_defaults_printed_by_name():
    code, out, _ = cli("osmomech")
    assert code == 0
    rows = {line.split()[0]: line.split()[1:] for line in out.splitlines()}
    assert rows["iterations"] == ["27", "count"] and rows["not_converged"] == ["0", "flag"]
    assert float(rows["flux"][0]) == pytest.approx(1.8912e-5, rel=1e-4)
    assert float(rows["membrane_area"][0]) == pytest.approx(12.338, abs=1e-3)
    assert rows["pump_power_kw"] == ["1.1904761904761905", "kW"]


def test_json_matches_run(capsys):
    assert main(["pump", "component_count=2", "feed_flow=nan", "--json"]) == 0
    data = json.loads(capsys.readouterr().out)
    assert data["model"] == "pump"
    names = [o["name"] for o in data["outputs"]]
    assert names[3:5] == ["component1_conc", "component2_conc"] and names[-1] == "input_flag"
    assert data["outputs"][0] == {"name": "flow", "value": 0.0, "unit": "m³/s"}
    assert data["outputs"][-1]["value"] == 1.0


def test_overrides_from_both_vectors(capsys):
    assert main(["osmomech", "feed_pressure_bar=0", "p.max_iterations=5"]) == 0
    out = capsys.readouterr().out
    assert re.search(r"^flux\s+0\.0\s+m/s$", out, flags=re.M)


@pytest.mark.parametrize("args, words", [
    (["nosuch"], ["'nosuch'", "osmomech", "pump"]),
    (["pump", "bogus=1"], ["'bogus'", "feed_flow", "fluid_density"]),
    (["pump", "feed_flow=fast"], ["'fast'", "feed_flow", "not a number"]),
    (["pump", "feed_flow"], ["'feed_flow'", "name=value"]),
    (["pump", "--yaml"], ["'--yaml'", "--json"]),
])
def test_bad_words_give_one_line_and_status_2(args, words):
    code, out, err = cli(*args)
    assert code == 2 and not out
    assert len(err.strip().splitlines()) == 1 and "Traceback" not in err
    for word in words:
        assert word in err


def help_rows(text, title):
    """The rows of one table of a model's help: lists of cells, split at runs of two spaces."""
    block = text.split(f"\n{title} (")[1].split("\n\n")[0].splitlines()[1:]
    return [re.split(r"\s{2,}", line.strip()) for line in block if not line.startswith("  positions")][1:]


@pytest.mark.parametrize("model", models())
def test_model_help_lists_every_slot(model, capsys):
    assert main([model, "--help"]) == 0
    text = capsys.readouterr().out
    lay, m = layout(model), layout(model).module
    for title, slots, defaults in (("inputs", lay.inputs, m.default_input()),
                                   ("parameters", lay.params, m.default_params())):
        rows = help_rows(text, title)
        assert [(int(i), n, u) for i, n, u, _ in rows] == [(s.index, s.name, s.unit) for s in slots]
        assert [float(d) for *_, d in rows] == defaults.tolist()
    named = [s for s in lay.output_slots(m.default_params()) if s.name]
    assert [(int(i), n, u) for i, n, u in help_rows(text, "outputs")] == [(s.index, s.name, s.unit) for s in named]


def test_help_follows_the_parameters_and_names_the_program(capsys):
    assert main(["pump", "component_count=1", "--help"]) == 0
    rows = help_rows(capsys.readouterr().out, "outputs")
    assert rows[4] == ["4", "pump_power_kw", "kW"] and len(rows) == 10
    script = pathlib.Path(sys.executable).with_name("hydrokit")
    for command, prog in (([str(script)], "hydrokit"), ([sys.executable, "-m", "hydrokit"], "python -m hydrokit")):
        for args in (["--help"], ["osmomech", "-h"], ["plot", "--help"]):
            out = subprocess.run([*command, *args], capture_output=True, text=True, check=True).stdout
            assert out.startswith(f"usage: {prog} "), (command, args)


def test_a_count_that_names_no_output(capsys):
    # ultrasimple splits nothing below one solute: no output has a name.
    assert main(["ultrasimple", "solute_count=0"]) == 0
    assert capsys.readouterr().out == "ultrasimple: no output is named for these parameters; every value of y is 0.0\n"
    assert main(["ultrasimple", "solute_count=0", "--help"]) == 0
    assert "\n  none is named for these parameters\n" in capsys.readouterr().out


def test_digits_and_whole_numbers(capsys):
    assert main(["osmomech", "--digits", "3"]) == 0
    rows = {line.split()[0]: line.split()[1] for line in capsys.readouterr().out.splitlines()}
    assert rows["flux"] == "1.89e-05" and rows["iterations"] == "27" and rows["not_converged"] == "0"
    assert main(["--version"]) == 0 and capsys.readouterr().out.strip() == f"hydrokit {hydrokit.__version__}"


@pytest.mark.parametrize("args, words", [
    (["osmomeh"], ["did you mean 'osmomech'?", "choose from: osmomech"]),
    (["osmomech", "feed_presure_bar=3"], ["did you mean 'feed_pressure_bar'?", "choose from: feed_flow"]),
    (["osmomech", "u.recovery=0.5"], ["'recovery' is a parameter of osmomech", "p.recovery"]),
    (["pump", "feed_flow=1", "feed_flow=2"], ["feed_flow is given twice"]),
    (["pump", "feed_flow=1", "u.feed_flow=2"], ["name the same slot"]),
    (["pump", "--digits", "0"], ["--digits must be from 1"]),
    (["pump", "--digits=3", "--json"], ["not to --json"]),
    (["pump", "--jsn"], ["did you mean '--json'?"]),
])
def test_misspellings_and_repeats(args, words, capsys):
    assert main(args) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and all(word in err for word in words)


def _run_into(args, sink):
    """Run the command line with its standard output sent to a closed pipe, a full disk or nowhere."""
    import os

    command = [sys.executable, "-m", "hydrokit", *args]
    if sink == "closed pipe":
        read, write = os.pipe()
        os.close(read)
        try:
            proc = subprocess.run(command, stdout=write, stderr=subprocess.PIPE, text=True)
        finally:
            os.close(write)
    elif sink == "full disk":
        with open("/dev/full", "w") as full:
            proc = subprocess.run(command, stdout=full, stderr=subprocess.PIPE, text=True)
    else:  # standard output closed, as `>&-` leaves it
        proc = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                              preexec_fn=lambda: os.close(1))
    return proc.returncode, proc.stderr


@pytest.mark.skipif(not pathlib.Path("/dev/full").exists(), reason="needs /dev/full")
@pytest.mark.parametrize("args, sink, status", [
    (["osmomech"], "closed pipe", 141),
    (["osmomech", "--json"], "full disk", 2),
    ([], "closed stdout", 2),
    (["plot", "pump", "feed_flow=0:1:3", "--y", "flow", "--out", "{tmp}/p.png"], "full disk", 2),
])
def test_write_errors_end_in_one_line_or_quietly(args, sink, status, tmp_path):
    code, err = _run_into([a.format(tmp=tmp_path) for a in args], sink)
    assert code == status and "Traceback" not in err and "Exception ignored" not in err
    assert err == "" if sink == "closed pipe" else (err.count("\n") == 1 and err.startswith("hydrokit: "))
