"""Slot tables of the models: name and unit of every vector index."""
