"""Providers that obtain generations from foundation models."""
