"""Model risk assessment of foundation models."""
