"""Governance metrics for machine-learning models."""

__version__ = "0.1.0"
