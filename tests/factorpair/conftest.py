"""Fixtures of the analyser tests over the real host package."""
import pytest


@pytest.fixture(scope="session")
def fp():
    import Tarnwick.bi.stats.factorpair as module

    return module
