"""Catalogue folders written for a test."""

import json
from pathlib import Path

import pyarrow
import pyarrow.parquet


def write_folder(root: Path, risks, cards: dict, data: dict | None = None) -> Path:
    """A catalogue folder: ``risks`` (the risks.json object or raw text), ``cards`` (name -> card
    object or raw text) and ``data`` (path -> text, or a dict of columns written as Parquet)."""
    root.mkdir(parents=True, exist_ok=True)
    (root / "risks.json").write_text(risks if isinstance(risks, str) else json.dumps({"risks": risks}))
    for name, card in cards.items():
        path = root.joinpath(*name.split(".")).with_suffix(".json")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(card if isinstance(card, str) else json.dumps(card, indent=1))
    for relative, content in (data or {}).items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if isinstance(content, dict):
            pyarrow.parquet.write_table(pyarrow.table(content), path)
        else:
            path.write_text(content, encoding="utf-8")
    return root


def card_over(data_file: str, metrics=("metrics.exact_match",), template="Q: {question}", **extra) -> dict:
    """A card of a folder's ``cards/<group>/`` reading ``data/<data_file>``."""
    return {"template": template, "metrics": list(metrics), "data_files": {"test": f"../../data/{data_file}"}, **extra}
