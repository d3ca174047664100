"""Losses of the package's networks."""
