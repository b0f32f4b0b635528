"""LIME-based explainers."""
