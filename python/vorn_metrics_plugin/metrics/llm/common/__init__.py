"""Pieces shared by the LLM metrics."""
