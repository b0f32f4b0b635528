"""Demonstration of the package on its built-in data (no network needed).

Run with ``python -m vorn_metrics_plugin.demo``.
"""
