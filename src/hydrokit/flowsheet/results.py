"""Solving a flowsheet's plan and presenting its results (being built)."""


def solve(fs, values):
    raise NotImplementedError("Flowsheet.solve is being built")


def sweep(fs, rows, axes, *, threads, client, chunk_rows):
    raise NotImplementedError("Flowsheet.sweep is being built")


def evaluate(fs, names, matrix, *, threads, client, chunk_rows):
    raise NotImplementedError("Flowsheet.evaluate is being built")
