"""The environment variable that names catalogue folders, and the folders it names.

Kept apart from the catalogue so that the command line can read it without
importing the catalogue (which adds these folders when it is imported).
"""

from __future__ import annotations

import os
from collections.abc import Mapping

CATALOG_PATH_ENV = "VORN_CATALOG_PATH"


def environment_folders(environ: Mapping[str, str] = os.environ) -> list[str]:
    """The folders that ``VORN_CATALOG_PATH`` names (separated by ``os.pathsep``), in order."""
    return [folder for folder in environ.get(CATALOG_PATH_ENV, "").split(os.pathsep) if folder.strip()]
