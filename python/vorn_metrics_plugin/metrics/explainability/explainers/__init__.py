"""Explainer implementations."""
