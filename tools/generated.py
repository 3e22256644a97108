"""The command every generator shares: write the files that are stale, or with --check only
name them (exit status 1 when any is)."""

from __future__ import annotations

import argparse
import pathlib


def write_or_check(files: dict[pathlib.Path, str], root: pathlib.Path, description: str,
                   what: str, argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--check", action="store_true", help=f"report stale {what} instead of writing them")
    args = parser.parse_args(argv)
    stale = [path for path, text in files.items() if not path.exists() or path.read_text(encoding="utf-8") != text]
    if args.check:
        for path in stale:
            print(f"stale: {path.relative_to(root)}")
        return 1 if stale else 0
    for path in stale:
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(files[path], encoding="utf-8")
        print(f"wrote {path.relative_to(root)}")
    return 0
