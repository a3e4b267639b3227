"""Shared by the isolated reliability cases: the module, traceback entries, argument tokens."""
import traceback

import collaborators
from Tarnwick.bi.stats import factorpair

FILE = "Tarnwick\\bi\\stats\\factorpair"
QUALIFIED = "Tarnwick.bi.stats.factorpair.TwoWayAnova."


def entries(error):
    """The module's traceback entries of ``error``, outermost first, as (method, line)."""
    return [
        (frame.name[len(QUALIFIED):] if frame.name.startswith(QUALIFIED) else frame.name,
         frame.lineno)
        for frame in traceback.extract_tb(error.__traceback__)
        if frame.filename == FILE
    ]


def function(method):
    """The method's function object: for the decorated two, the one handed to ``accepts``."""
    if method in collaborators.DECORATED:
        return collaborators.DECORATED[method]
    return factorpair.TwoWayAnova.__dict__[method]


class Token(list):
    """Stands for any argument value and can be told apart in the log by its label.

    A one-item list holding its label (for column lists), comparable with anything (for the
    level bound: it always claims to be the larger), and a helper with one measure ``m`` and
    no dimensions (for ``df_helper``).
    """

    def __init__(self, label):
        list.__init__(self, [label])
        self.label = label

    __hash__ = object.__hash__

    def __gt__(self, other):
        collaborators.note("compared", self.label)
        return True

    def __ge__(self, other):
        collaborators.note("compared", self.label)
        return True

    def get_numeric_columns(self):
        return ["m"]

    def get_string_columns(self):
        return []

    def get_num_rows(self):
        return 10

    def __repr__(self):
        return "Token(%s)" % self.label
