"""Metrics for large language models."""
