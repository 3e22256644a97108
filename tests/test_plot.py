"""python -m hydrokit plot: a picture of outputs against one swept slot."""

import subprocess
import sys

import numpy as np
import pytest

import hydrokit
from hydrokit.cli import plot

pytest.importorskip("matplotlib")

PNG = b"\x89PNG\r\n\x1a\n"


def test_panels_labels_and_data():
    args = plot.parse(["osmomech", "feed_pressure_bar=20:60:5", "p.recovery=0.5",
                       "--y", "flux,membrane_area", "--out", "x.png"])
    assert args[1:] == ("feed_pressure_bar", (20.0, 60.0, 5), {"p.recovery": 0.5}, ["flux", "membrane_area"], "x.png")
    fig = plot.figure(*args[:5])
    panels = fig.axes
    assert [a.get_ylabel() for a in panels] == ["flux [m/s]", "membrane_area [m²]"]
    assert panels[-1].get_xlabel() == "feed_pressure_bar [bar]"
    assert "recovery = 0.5" in fig.get_suptitle()
    t = hydrokit.grid("osmomech", feed_pressure_bar=np.linspace(20, 60, 5), recovery=0.5)
    for panel, name in zip(panels, ["flux", "membrane_area"]):
        x, y = panel.lines[0].get_data()
        assert np.array_equal(x, t["feed_pressure_bar"]) and np.array_equal(y, t[name])


@pytest.mark.parametrize("name, start", [("pump.png", PNG), ("pump.v2.SVG", b"<?xml")])
def test_writes_the_picture_through_the_command_line(tmp_path, name, start):
    out = tmp_path / name
    done = subprocess.run([sys.executable, "-m", "hydrokit", "plot", "pump", "feed_flow=0:0.01",
                           "pressure_rise_bar=8", "--y=pump_power_kw", f"--out={out}"],
                          capture_output=True, text=True)
    assert (done.returncode, done.stderr, done.stdout) == (0, "", f"{out}\n")
    assert out.read_bytes().startswith(start) and [p.name for p in tmp_path.iterdir()] == [name]


@pytest.mark.parametrize("argv, words", [
    ([], "name a model"),
    (["nosuch", "a=1:2", "--y", "b", "--out", "o.png"], "unknown model 'nosuch'"),
    (["pump", "--y", "flow", "--out", "o.png"], "sweep one slot"),
    (["pump", "feed_flow=0:1", "head_m=0:2", "--y", "flow", "--out", "o.png"], "only one slot"),
    (["pump", "feed_flow=0:1:1", "--y", "flow", "--out", "o.png"], "COUNT of feed_flow must be from 2"),
    (["pump", "feed_flow=0:1:x", "--y", "flow", "--out", "o.png"], "not a whole number"),
    (["pump", "feed_flow=0:inf", "--y", "flow", "--out", "o.png"], "finite START and STOP"),
    (["pump", "feed_flow=0:1:2:3", "--y", "flow", "--out", "o.png"], "START:STOP or START:STOP:COUNT"),
    (["pump", "feed_flow=0:1", "head_m=tall", "--y", "flow", "--out", "o.png"], "value of head_m 'tall'"),
    (["pump", "feed_flow=0:1", "depth=3", "--y", "flow", "--out", "o.png"], "unknown name 'depth'"),
    (["pump", "feed_flow=0:1", "feed_flow=3", "--y", "flow", "--out", "o.png"], "given twice"),
    (["pump", "feed_flow=0:1", "--y", "speed", "--out", "o.png"], "unknown output 'speed'"),
    (["pump", "feed_flow=0:1", "--out", "o.png"], "--y"),
    (["pump", "feed_flow=0:1", "--y", "flow"], "--out"),
    (["pump", "feed_flow=0:1", "--y"], "--y needs a value"),
    (["pump", "feed_flow=0:1", "--y", "flow", "--out", "o.png", "--dpi", "3"], "unknown option '--dpi'"),
    (["pump", "feed_flow=0:1", "--y", "flow", "--out", "/no/such/dir/o.png"], "No such file"),
    (["pump", "feed_flow=0:1", "--y", "flow", "--out", "o.unknownformat"], "not supported"),
    (["pump", "feed_flow=0:1", "--y", "flow", "--out", "o"], "no extension"),
    (["pump", "feed_flow=0:1", "--y", "flow", "--out", "."], "is a directory"),
    (["pump", "feed_flow=2:2", "--y", "flow", "--out", "o.png"], "START and STOP to differ"),
    (["pump", "feed_flow=0:1", "--y", "flow,head_m,flow", "--out", "o.png"], "flow is given twice"),
    (["pump", "feed_flow=0:1", "--y", ",".join(f"o{i}" for i in range(13)), "--out", "o.png"], "at most 12"),
])
def test_errors_are_one_line_and_status_2(argv, words, capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    assert plot.main(argv) == 2
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err.startswith("hydrokit plot: ")
    assert captured.err.count("\n") == 1 and words in captured.err
    assert not list(tmp_path.iterdir())


def test_without_matplotlib(monkeypatch, capsys, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    assert plot.main(["pump", "feed_flow=0:1", "--y", "flow", "--out", str(tmp_path / "o.png")]) == 2
    assert "needs matplotlib" in capsys.readouterr().err
