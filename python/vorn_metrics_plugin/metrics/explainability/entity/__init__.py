"""Configuration and response entities of the explainers."""
