"""Explainability of model predictions."""
