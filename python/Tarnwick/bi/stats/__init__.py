"""Statistical tests over Spark data frames: ``factorpair`` (two-way analysis of variance),
``onescan`` (every test of a batch run from one scan) and :func:`linear_model` (N-way analysis
of variance and covariance from a formula, in one scan).

``linear_model`` is imported on first use, so importing this package stays cheap.
"""
from typing import Any

__all__ = ["linear_model"]


def __getattr__(name: str) -> Any:
    if name in ("linear_model", "LinearModelResult", "ModelError"):
        from . import models

        return getattr(models, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))
