"""Response entities of the explainers and their JSON-ready schemas.

An image explanation is either a success record::

    {"input_features": [{"full_image": "<base64 png>", "total_features": 12, "used_features": 12}],
     "predictions": [
         {"probability": 0.9, "value": "cat",
          "explanation": [{"full_image": "...", "total_features": 7, "used_features": 7}]},
         {"probability": 0.1, "value": "Others",
          "explanation": [{"full_image": "...", "total_features": 5, "used_features": 5}]}]}

or an error record::

    {"error": {"code": "...", "message": "...",
               "target": {"type": "field", "name": "lime"}, "vals": ["..."]}}

``LimeImageExplanationSchema().dump(entity)`` produces these dicts: keys in the
order shown, top-level entries that are ``None`` left out, numbers converted to
plain Python ``int``/``float`` (numpy scalars included) and texts to ``str``.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from marshmallow import Schema, fields, post_dump, post_load

__all__ = [
    "Error",
    "ErrorSchema",
    "ErrorTarget",
    "ErrorTargetSchema",
    "ImageFeatureSchema",
    "ImagePredictionSchema",
    "LimeImageExplanation",
    "LimeImageExplanationSchema",
]


@dataclass
class ErrorTarget:
    """What an error is about: its kind (``"field"``, ...) and the name of that thing."""

    type: str
    name: str


@dataclass
class Error:
    """An error record: a message code, the message, its target and the inserted values."""

    code: str
    message: str
    target: ErrorTarget | None = None
    vals: list[Any] | None = None


@dataclass
class LimeImageExplanation:
    """The explanation of one image: ``input_features`` and ``predictions``, or ``error``.

    ``input_features`` is a list of dicts with the keys "full_image",
    "total_features" and "used_features"; ``predictions`` a list of dicts with
    "probability", "value" and "explanation" (a list of dicts shaped like an
    input feature).
    """

    input_features: list[dict[str, Any]] | None = None
    predictions: list[dict[str, Any]] | None = None
    error: Error | None = None


def _drop_none(data: dict[str, Any]) -> dict[str, Any]:
    return {key: value for key, value in data.items() if value is not None}


class ErrorTargetSchema(Schema):
    type = fields.String()
    name = fields.String()

    @post_load
    def _make(self, data: dict[str, Any], **kwargs: Any) -> ErrorTarget:
        return ErrorTarget(**data)


class ErrorSchema(Schema):
    code = fields.String()
    message = fields.String()
    target = fields.Nested(ErrorTargetSchema)
    vals = fields.List(fields.Raw())

    @post_dump
    def _without_none(self, data: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return _drop_none(data)

    @post_load
    def _make(self, data: dict[str, Any], **kwargs: Any) -> Error:
        return Error(**data)


class ImageFeatureSchema(Schema):
    """One picture of an explanation and how many segments it accounts for."""

    full_image = fields.String()
    total_features = fields.Integer()
    used_features = fields.Integer()


class ImagePredictionSchema(Schema):
    """One outcome (the prediction or the other outcome) with its explanation picture."""

    probability = fields.Float()
    value = fields.String()
    explanation = fields.List(fields.Nested(ImageFeatureSchema))


class LimeImageExplanationSchema(Schema):
    input_features = fields.List(fields.Nested(ImageFeatureSchema))
    predictions = fields.List(fields.Nested(ImagePredictionSchema))
    error = fields.Nested(ErrorSchema)

    @post_dump
    def _without_none(self, data: dict[str, Any], **kwargs: Any) -> dict[str, Any]:
        return _drop_none(data)

    @post_load
    def _make(self, data: dict[str, Any], **kwargs: Any) -> LimeImageExplanation:
        return LimeImageExplanation(**data)
