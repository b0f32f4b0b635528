"""Helpers and constants of the LLM metrics."""
