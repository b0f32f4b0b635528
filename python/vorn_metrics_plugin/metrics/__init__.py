"""Metric families of the package."""
