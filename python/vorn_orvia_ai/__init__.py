"""Client library of the Vorn Orvia AI foundation-model inference service.

The client lives in :mod:`vorn_orvia_ai.foundation_models` (chat and
completion protocols), the names of the generation parameters in
:mod:`vorn_orvia_ai.metanames`, the exception types in
:mod:`vorn_orvia_ai.qrm_client_error`, and the retries of refused requests,
which the client itself never makes, in :mod:`vorn_orvia_ai.retry_policy`.
"""

__version__ = "0.1.0"
