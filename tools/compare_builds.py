"""Every model's outputs on a large set of random and hostile inputs, saved or compared bit for bit.

    python tools/compare_builds.py save /tmp/before.npz    # with one build installed
    python tools/compare_builds.py check /tmp/before.npz   # with another: exit 1 on any changed bit

The cases are drawn from a fixed seed around each model's defaults: every slot in turn
set to each hostile value (NaNs with several payloads and signs, ±inf, negative,
huge, tiny, zero), and random rows mixing scaled defaults with hostile values. Each
case is evaluated through ``run`` one row at a time and through ``hydrokit.sweep``;
outputs are compared as 64-bit patterns, so a changed NaN payload counts.
"""

from __future__ import annotations

import argparse
import importlib
import sys

import numpy as np

import hydrokit
from hydrokit import _sweep

SEED = 20261209


def _nan(bits):
    return np.array([bits], dtype=np.uint64).view(np.float64)[0]


HOSTILE = np.array([
    np.nan, -np.nan, _nan(0x7FF8_0000_0000_0ABC), _nan(0xFFF8_0000_DEAD_BEEF), _nan(0x7FF0_0000_0000_0001),
    np.inf, -np.inf, 0.0, -0.0, -1.0, -1e-3, 1e308, -1e308, 5e-324, 1e-300, 0.5, 1.0, 2.0, 1e6, 3e9,
])


def models():
    return sorted(name for name in _sweep.models())


def cases(module, rng, random_rows):
    """(u, p) matrices: one hostile value per slot in turn, then random mixed rows."""
    u0, p0 = module.default_input(), module.default_params()
    base = np.concatenate([u0, p0])
    width = base.size
    rows = [base]
    for i in range(width):
        for v in HOSTILE:
            row = base.copy()
            row[i] = v
            rows.append(row)
    scale = np.exp(rng.normal(0.0, 1.5, size=(random_rows, width)))
    sign = np.where(rng.random((random_rows, width)) < 0.1, -1.0, 1.0)
    mixed = base * scale * sign
    # Zero defaults stay zero under scaling: give them a random value at times.
    zero = (base == 0) & (rng.random((random_rows, width)) < 0.5)
    mixed[zero] = rng.normal(0.0, 10.0, size=zero.sum())
    pick = rng.random((random_rows, width)) < 0.15
    mixed[pick] = rng.choice(HOSTILE, size=pick.sum())
    # Integral slots (counts, switches, modes) near their defaults too.
    rounded = rng.random((random_rows, width)) < 0.2
    mixed[rounded] = np.round(mixed[rounded])
    data = np.vstack([np.array(rows), mixed])
    return np.ascontiguousarray(data[:, :u0.size]), np.ascontiguousarray(data[:, u0.size:])


def evaluate(random_rows):
    rng = np.random.default_rng(SEED)
    out = {}
    for name in models():
        module = importlib.import_module(f"hydrokit.{name}")
        u, p = cases(module, rng, random_rows)
        ran = np.array([module.run(u[i], p[i]) for i in range(u.shape[0])])
        swept = hydrokit.sweep(name, u, p)
        out[f"{name}/u"] = u.view(np.uint64)
        out[f"{name}/p"] = p.view(np.uint64)
        out[f"{name}/run"] = ran.view(np.uint64)
        out[f"{name}/sweep"] = swept.view(np.uint64)
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("action", choices=("save", "check"))
    parser.add_argument("path")
    parser.add_argument("--random-rows", type=int, default=20000)
    args = parser.parse_args(argv)
    if args.action == "save":
        out = evaluate(args.random_rows)
        np.savez_compressed(args.path, **out)
        for name in models():
            print(f"{name}: {out[f'{name}/u'].shape[0]} cases")
        return 0
    saved = np.load(args.path)
    random_rows = saved[f"{models()[0]}/u"].shape[0] - 1 - HOSTILE.size * (
        saved[f"{models()[0]}/u"].shape[1] + saved[f"{models()[0]}/p"].shape[1])
    now = evaluate(random_rows)
    bad = 0
    for key in sorted(saved.files):
        name = key.partition("/")[0]
        if key not in now or saved[key].shape != now[key].shape:
            print(f"{key}: missing or of another shape")
            bad += 1
            continue
        differ = np.any(saved[key] != now[key], axis=1)
        if differ.any():
            print(f"{key}: {int(differ.sum())} of {differ.size} rows differ (first {int(np.argmax(differ))})")
            bad += 1
        elif key.endswith("/run"):
            # run and sweep agree too
            same = np.array_equal(now[f"{name}/run"], now[f"{name}/sweep"])
            print(f"{name}: {differ.size} cases bit for bit{'' if same else ', but sweep differs from run'}")
            bad += not same
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
