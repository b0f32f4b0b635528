"""Reading the run records that vorn-risk-eval --output (or run_record) wrote."""

from __future__ import annotations

import json
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from vorn_metrics_plugin.mra.run_record import INSTANCES_FILE, RECORD_FORMAT, RESULTS_FILE

_RECORD_KEYS = ("results", "settings", "started_at", "finished_at", "package_version")
_INSTANCE_KEYS = ("risk", "card", "index", "prompt", "scores")


class NotARunRecord(ValueError):
    """A folder that is missing, unreadable or not a run record; the message says which and why."""


@dataclass
class RunRecord:
    folder: str
    results: dict[str, dict[str, dict]]
    settings: dict[str, Any]
    finished_at: str | None
    # (risk, card) -> index -> instance line
    instances: dict[tuple[str, str], dict[int, dict]] = field(default_factory=dict)

    def cards(self) -> list[tuple[str, str]]:
        """Every (risk, card) of the results, in their order."""
        return [(risk, card) for risk, cards in self.results.items() for card in cards]


def _read_json(path: str, folder: str) -> Any:
    try:
        with open(path, encoding="utf-8") as handle:
            return json.load(handle)
    except FileNotFoundError:
        raise NotARunRecord(f"{folder} is not a run record (no {os.path.basename(path)})") from None
    except (UnicodeDecodeError, json.JSONDecodeError) as error:
        raise NotARunRecord(f"{folder} is not a run record ({os.path.basename(path)} is not JSON: {error})") from None
    except OSError as error:
        raise NotARunRecord(f"{folder} cannot be read: {error.strerror or error}") from None


def _instances(path: str, folder: str) -> dict[tuple[str, str], dict[int, dict]]:
    found: dict[tuple[str, str], dict[int, dict]] = {}
    try:
        with open(path, encoding="utf-8") as handle:
            for number, line in enumerate(handle, start=1):
                if not line.strip():
                    continue
                try:
                    instance = json.loads(line)
                except json.JSONDecodeError:
                    instance = None
                if not isinstance(instance, dict) or any(key not in instance for key in _INSTANCE_KEYS) \
                        or not isinstance(instance["index"], int) or not isinstance(instance["scores"], dict):
                    raise NotARunRecord(f"{folder}: line {number} of {INSTANCES_FILE} is not an instance record")
                found.setdefault((str(instance["risk"]), str(instance["card"])), {})[instance["index"]] = instance
    except FileNotFoundError:
        raise NotARunRecord(f"{folder} is not a complete run record (no {INSTANCES_FILE})") from None
    except UnicodeDecodeError:
        raise NotARunRecord(f"{folder} is not a run record ({INSTANCES_FILE} is not UTF-8 text)") from None
    except OSError as error:
        raise NotARunRecord(f"{folder} cannot be read: {error.strerror or error}") from None
    return found


def read_record(folder: str) -> RunRecord:
    """The record in ``folder``; ``NotARunRecord`` for anything else."""
    if not os.path.exists(folder):
        raise NotARunRecord(f"{folder}: no such folder")
    if not os.path.isdir(folder):
        raise NotARunRecord(f"{folder} is not a folder")
    content = _read_json(os.path.join(folder, RESULTS_FILE), folder)
    if not isinstance(content, dict) or any(key not in content for key in _RECORD_KEYS):
        raise NotARunRecord(f"{folder} is not a run record ({RESULTS_FILE} is some other JSON file)")
    if content.get("record_format") != RECORD_FORMAT:
        raise NotARunRecord(f"{folder} holds a run record of another format ({content.get('record_format')!r}); "
                            f"this version reads format {RECORD_FORMAT}")
    results = content["results"]
    if not isinstance(results, Mapping) or not all(
            isinstance(cards, Mapping) and all(isinstance(metrics, Mapping) for metrics in cards.values())
            for cards in results.values()):
        raise NotARunRecord(f"{folder} is not a run record (its results are not risk -> card -> metrics)")
    settings = content["settings"] if isinstance(content["settings"], dict) else {}
    return RunRecord(folder, results, settings, content.get("finished_at"),
                     _instances(os.path.join(folder, INSTANCES_FILE), folder))
