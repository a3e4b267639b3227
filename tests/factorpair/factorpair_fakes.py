"""Recording stand-ins for the Spark column functions, Spark data frames, pandas, the helper and
the result classes.

Every operation the analyser performs on them is appended to one shared ``Log`` as a tuple, so a
test can compare the whole call sequence (operations, arguments, keyword order) at once.
Expressions are represented by their text, for example ``count(col(m))``, which keeps operand
order and grouping visible.
"""
from __future__ import annotations

from typing import Any, Dict, List, Optional, Sequence


class Log(list):
    def add(self, *event: Any) -> None:
        self.append(event)


class Expr(object):
    """A Spark column or aggregate expression."""

    def __init__(self, log: Log, text: str) -> None:
        self._log = log
        self.text = text

    def alias(self, *args: Any, **kwargs: Any) -> "Expr":
        self._log.add("alias", self.text, args, kwargs)
        return Expr(self._log, "%s AS %s" % (self.text, args[0]))

    def __pow__(self, other: Any) -> "Expr":
        self._log.add("pow", self.text, other)
        return Expr(self._log, "(%s ** %r)" % (self.text, other))

    def __repr__(self) -> str:
        return "Expr(%s)" % self.text


class Functions(object):
    """pyspark.sql.functions: col, count, mean, sum."""

    def __init__(self, log: Log) -> None:
        self._log = log

    def _apply(self, name: str, args: Sequence[Any], kwargs: Dict[str, Any]) -> Expr:
        self._log.add(name, tuple(_text(a) for a in args), kwargs)
        return Expr(self._log, "%s(%s)" % (name, ", ".join(_text(a) for a in args)))

    def col(self, *args: Any, **kwargs: Any) -> Expr:
        return self._apply("col", args, kwargs)

    def count(self, *args: Any, **kwargs: Any) -> Expr:
        return self._apply("count", args, kwargs)

    def mean(self, *args: Any, **kwargs: Any) -> Expr:
        return self._apply("mean", args, kwargs)

    def sum(self, *args: Any, **kwargs: Any) -> Expr:
        return self._apply("sum", args, kwargs)


def _text(value: Any) -> Any:
    return value.text if isinstance(value, Expr) else value


class Frame(object):
    """A Spark data frame whose collect() returns ``rows`` (a new list each time)."""

    def __init__(self, log: Log, rows: Optional[List[Any]] = None, name: str = "frame") -> None:
        self._log = log
        self.rows = rows if rows is not None else []
        self.name = name
        self.collected: List[List[Any]] = []

    def _derived(self, name: str) -> "Frame":
        frame = Frame(self._log, self.rows, name)
        frame.collected = self.collected
        return frame

    def select(self, *args: Any, **kwargs: Any) -> "Frame":
        self._log.add("select", self.name, tuple(_text(a) for a in args), kwargs)
        return self._derived("selected")

    def groupby(self, *args: Any, **kwargs: Any) -> "Frame":
        self._log.add("groupby", self.name, args, kwargs)
        return self._derived("grouped")

    def agg(self, *args: Any, **kwargs: Any) -> "Frame":
        self._log.add("agg", self.name, tuple(_text(a) for a in args), kwargs)
        return self._derived("aggregated")

    def collect(self, *args: Any, **kwargs: Any) -> List[Any]:
        self._log.add("collect", self.name, args, kwargs)
        rows = list(self.rows)
        self.collected.append(rows)
        return rows


class Column(object):
    """A pandas column; products are recorded as text."""

    def __init__(self, log: Log, text: str) -> None:
        self._log = log
        self.text = text

    def __mul__(self, other: "Column") -> "Column":
        self._log.add("mul", self.text, other.text)
        return Column(self._log, "(%s * %s)" % (self.text, other.text))


class Table(object):
    """A pandas DataFrame: remembers its rows and columns, records reads and assignments."""

    def __init__(self, log: Log, *args: Any, **kwargs: Any) -> None:
        log.add("pd.DataFrame", args, list(kwargs.items()))
        self._log = log
        self.args = args
        self.kwargs = kwargs
        self.assigned: Dict[str, Column] = {}

    def __getattr__(self, name: str) -> Column:
        if name.startswith("_"):
            raise AttributeError(name)
        self._log.add("get", name)
        return Column(self._log, name)

    def __setitem__(self, key: str, value: Column) -> None:
        self._log.add("set", key, value.text)
        self.assigned[key] = value


class Pandas(object):
    """The pandas module as the analyser uses it: pd.DataFrame(rows, columns=[...])."""

    def __init__(self, log: Log) -> None:
        self._log = log
        self.tables: List[Table] = []

    def DataFrame(self, *args: Any, **kwargs: Any) -> Table:
        table = Table(self._log, *args, **kwargs)
        self.tables.append(table)
        return table


class Helper(object):
    """DataFrameHelper with fixed answers."""

    def __init__(self, log: Log, numeric: Any = None, strings: Any = None, rows: Any = 1000,
                 levels: Optional[Dict[str, Any]] = None) -> None:
        self._log = log
        self.numeric = numeric if numeric is not None else []
        self.strings = strings if strings is not None else []
        self.rows = rows
        self.levels = levels or {}

    def get_numeric_columns(self, *args: Any, **kwargs: Any) -> Any:
        self._log.add("get_numeric_columns", args, kwargs)
        return self.numeric

    def get_string_columns(self, *args: Any, **kwargs: Any) -> Any:
        self._log.add("get_string_columns", args, kwargs)
        return self.strings

    def get_num_rows(self, *args: Any, **kwargs: Any) -> Any:
        self._log.add("get_num_rows", args, kwargs)
        return self.rows

    def get_num_unique_values(self, *args: Any, **kwargs: Any) -> Any:
        self._log.add("get_num_unique_values", args, kwargs)
        return self.levels[args[0]]


class Record(object):
    """MeasureAnovaResult: keeps what it receives."""

    def __init__(self, log: Log, *args: Any, **kwargs: Any) -> None:
        log.add("MeasureAnovaResult", args, kwargs)
        self._log = log
        self.args = args
        self.received: List[Any] = []

    def set_OneWayAnovaResult(self, *args: Any, **kwargs: Any) -> str:
        self._log.add("set_OneWayAnovaResult", args, kwargs)
        self.received.append(("one", args))
        return "ignored"

    def set_TwoWayAnovaResult(self, *args: Any, **kwargs: Any) -> str:
        self._log.add("set_TwoWayAnovaResult", args, kwargs)
        self.received.append(("two", args))
        return "ignored"


class Collection(object):
    """DFTwoWayAnovaResult: keeps the records in the order they are added."""

    def __init__(self, log: Log, *args: Any, **kwargs: Any) -> None:
        log.add("DFTwoWayAnovaResult", args, kwargs)
        self._log = log
        self.added: List[Any] = []

    def add_measure_result(self, *args: Any, **kwargs: Any) -> str:
        self._log.add("add_measure_result", args, kwargs)
        self.added.append(args)
        return "ignored"
