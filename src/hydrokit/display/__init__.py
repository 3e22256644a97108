"""Presentation of plants: diagrams, notebook views, display units, the design report and progress.

Nothing here computes a plant figure: values come from results and cost models and are
converted for display only.
"""
