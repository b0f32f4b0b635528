"""Client library of the Vorn Orvia AI foundation-model inference service.

The client lives in :mod:`vorn_orvia_ai.foundation_models`, the names of the
generation parameters in :mod:`vorn_orvia_ai.metanames` and the exception
types in :mod:`vorn_orvia_ai.qrm_client_error`.
"""

__version__ = "0.1.0"
