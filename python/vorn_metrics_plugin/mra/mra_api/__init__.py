"""Risk catalogue: the risks a foundation model is evaluated on and their benchmark cards.

Catalogue folders add cards and risks (``add_catalog``); the folders named by
``VORN_CATALOG_PATH`` are added when the catalogue is first imported.
"""

from . import risk, risk_to_cards
from .catalog_folders import CatalogError, add_catalog, add_environment_catalogs, remove_catalogs

__all__ = ["CatalogError", "add_catalog", "remove_catalogs", "risk", "risk_to_cards"]

add_environment_catalogs()
