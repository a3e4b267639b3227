"""Rendering a run's results: readable tables, JSON or CSV."""
from __future__ import annotations

import json


class Context:
    """What the output says about the run besides the tables."""

    def __init__(self, **fields):
        self.__dict__.update(fields)

    def as_dict(self):
        return dict(self.__dict__)


def refine_if_needed(result, frame, caught):
    return False


def warning_notes(caught, refined):
    return [str(w.message) for w in caught]


def to_json(result, context):
    return json.dumps({"run": context.as_dict()}, indent=2) + "\n"


def to_csv(result, context):
    return "measure\n" + "".join("%s\n" % m for m in context.measures)


def to_text(result, context):
    return "%r\n" % context.as_dict()
