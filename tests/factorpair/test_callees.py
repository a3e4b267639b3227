"""How the methods reach what they call: a method read off an object is called the way the
interpreter calls it, whatever kind of attribute it turns out to be, and the analyser's own methods
are called alike through every route the interpreter offers."""
import functools

import pytest

from support import standins


class Aggregated(object):
    def __init__(self, rows):
        self.rows = rows

    def collect(self):
        return self.rows


def _class_function(name, callee):
    return type("OnClass", (), {name: lambda self, *args: callee(self, *args)})()


def _instance_function(name, callee):
    holder = type("Plain", (), {})()
    setattr(holder, name, lambda *args: callee(*args))
    return holder


def _shadowing_instance_function(name, callee):
    holder = _class_function(name, lambda *args: pytest.fail("the class attribute was called"))
    setattr(holder, name, lambda *args: callee(*args))
    return holder


def _static(name, callee):
    return type("Static", (), {name: staticmethod(lambda *args: callee(*args))})()


def _classmethod(name, callee):
    return type("ClassMethod", (), {name: classmethod(lambda cls, *args: callee(cls, *args))})()


def _property(name, callee):
    return type("Property", (), {name: property(lambda self: lambda *args: callee(*args))})()


def _getattr_hook(name, callee):
    def __getattr__(self, wanted):
        if wanted != name:
            raise AttributeError(wanted)
        return lambda *args: callee(*args)

    return type("Hook", (), {"__getattr__": __getattr__})()


def _getattribute_override(name, callee):
    def __getattribute__(self, wanted):
        value = object.__getattribute__(self, wanted)
        return (lambda *args: callee("through __getattribute__", *args)) if wanted == name else value

    return type("Override", (), {name: lambda self, *args: pytest.fail("bypassed the override"),
                                 "__getattribute__": __getattribute__})()


def _slot(name, callee):
    holder = type("Slotted", (), {"__slots__": (name,)})()
    setattr(holder, name, lambda *args: callee(*args))
    return holder


def _non_descriptor_on_class(name, callee):
    return type("Partial", (), {name: functools.partial(callee, "partial")})()


def _bound_builtin(name, callee):
    calls = []
    holder = type("Builtin", (), {})()
    setattr(holder, name, calls.append)  # a built-in method bound to another object
    holder.calls = calls
    return holder


# (label, make(name, callee) -> object, what the callee receives in front of the arguments)
VARIANTS = [
    ("function on the class", _class_function, lambda obj: (obj,)),
    ("function in the instance dict", _instance_function, lambda obj: ()),
    ("instance dict shadows the class", _shadowing_instance_function, lambda obj: ()),
    ("staticmethod", _static, lambda obj: ()),
    ("classmethod", _classmethod, lambda obj: (type(obj),)),
    ("property", _property, lambda obj: ()),
    ("__getattr__", _getattr_hook, lambda obj: ()),
    ("__getattribute__", _getattribute_override, lambda obj: ("through __getattribute__",)),
    ("slot", _slot, lambda obj: ()),
    ("non-descriptor callable on the class", _non_descriptor_on_class, lambda obj: ("partial",)),
]


class GroupingFrame(object):
    """A data frame whose groupby returns a prepared object."""

    def __init__(self, grouped):
        self.grouped = grouped

    def groupby(self, *keys):
        return self.grouped


@pytest.mark.parametrize("label, make, leading", VARIANTS, ids=[v[0] for v in VARIANTS])
def test_a_method_read_before_its_arguments(world, label, make, leading):
    # grouped.agg is read before count(col(m)) and mean(col(m)) are evaluated, then called.
    rows = [("x", 1, 2.0)]
    received = []

    def callee(*args):
        received.append(tuple(getattr(arg, "text", arg) for arg in args))
        return Aggregated(rows)

    grouped = make("agg", callee)
    analyser = world.analyser(frame=GroupingFrame(grouped), record=world.record())
    analyser.test_anova("m", "A")
    assert received == [leading(grouped) + ("count(col(m))", "mean(col(m))")]
    assert world.pandas.tables[0].args == (rows,)


@pytest.mark.parametrize("label, make, leading", VARIANTS, ids=[v[0] for v in VARIANTS])
def test_a_method_called_at_once(world, label, make, leading):
    # self._anova_result.set_OneWayAnovaResult(dimension, var)
    received = []
    record = make("set_OneWayAnovaResult", lambda *args: received.append(args))
    analyser = world.analyser(record=record)
    analyser.test_anova("m", "A")
    assert received == [leading(record) + ("A", world.pandas.tables[0])]


@pytest.mark.parametrize("name", ["agg", "set_OneWayAnovaResult"])
def test_a_bound_builtin_method_in_the_instance_dict(world, name):
    # list.append bound to another list: called with the two arguments alone, no self in front.
    holder = _bound_builtin(name, None)
    if name == "agg":
        analyser = world.analyser(frame=GroupingFrame(holder), record=world.record())
    else:
        analyser = world.analyser(record=holder)
    with pytest.raises(TypeError, match=r"takes exactly one argument \(2 given\)"):
        analyser.test_anova("m", "A")
    assert holder.calls == []


def test_the_method_is_read_before_its_arguments_are_evaluated(world, fp):
    class Grouped(object):
        @property
        def agg(self):
            standins.note("read agg")
            return lambda *args: Aggregated([])

    analyser = world.analyser(frame=GroupingFrame(Grouped()), record=world.record())
    analyser.test_anova("m", "A")
    assert world.log[:5] == [("read agg",), ("col", "m"), ("count", "col(m)"),
                             ("col", "m"), ("mean", "col(m)")]


# --- the analyser's own methods, as test_against reaches them ---------------------------------

def _override_on_instance(analyser, calls):
    analyser.test_anova_interaction = lambda *args: calls.append(("instance",) + args)
    analyser.test_anova = lambda *args: calls.append(("instance",) + args)
    return analyser


def _override_in_subclass(analyser, calls):
    class Sub(type(analyser)):
        def test_anova(self, *args):
            calls.append(("subclass",) + args)

        def test_anova_interaction(self, *args):
            calls.append(("subclass",) + args)

    analyser.__class__ = Sub
    return analyser


def _override_by_getattribute(analyser, calls):
    class Watching(type(analyser)):
        def __getattribute__(self, name):
            value = object.__getattribute__(self, name)
            if name in ("test_anova", "test_anova_interaction"):
                calls.append(("read", name))
            return value

    analyser.__class__ = Watching
    return analyser


@pytest.mark.parametrize("override, expected", [
    (_override_on_instance, [("instance", "m", "A"), ("instance", "m", "B"),
                             ("instance", "m", "A", "B")]),
    (_override_in_subclass, [("subclass", "m", "A"), ("subclass", "m", "B"),
                             ("subclass", "m", "A", "B")]),
    (_override_by_getattribute, [("read", "test_anova"), ("read", "test_anova"),
                                 ("read", "test_anova_interaction")]),
], ids=["instance attribute", "subclass", "__getattribute__"])
def test_test_against_calls_what_the_instance_answers(world, override, expected):
    calls = []
    analyser = override(world.analyser(record=world.record()), calls)
    analyser.test_against("m", ["A", "B"])
    assert calls == expected


def test_test_against_reaches_the_compiled_methods_unbound(world, fp):
    # The compiled methods themselves, found on the class: each receives the analyser as self.
    record = world.record()
    analyser = world.analyser(record=record)
    analyser.test_against("m", ["A", "B"])
    assert [kind for kind, _ in record.received] == ["one", "one", "two"]
    assert [args[:2] for _, args in record.received] == [("A", world.pandas.tables[0]),
                                                         ("B", world.pandas.tables[1]),
                                                         ("A", "B")]


# --- routes into a compiled method --------------------------------------------------------------

ROUTES = [
    ("bound, positional", lambda a: a.test_anova("m", "A")),
    ("bound, keywords", lambda a: a.test_anova(measure="m", dimension="A")),
    ("bound, keywords reversed", lambda a: a.test_anova(dimension="A", measure="m")),
    ("bound, mixed", lambda a: a.test_anova("m", dimension="A")),
    ("class, keywords", lambda a: type(a).test_anova(a, dimension="A", measure="m")),
    ("class, all by keyword", lambda a: type(a).test_anova(self=a, measure="m", dimension="A")),
    ("unpacked", lambda a: a.test_anova(*["m"], **{"dimension": "A"})),
    ("partial", lambda a: functools.partial(type(a).test_anova, a, "m")(dimension="A")),
    ("bound method's __call__", lambda a: a.test_anova.__call__("m", "A")),
    ("__func__", lambda a: a.test_anova.__func__(a, "m", dimension="A")),
    ("map", lambda a: list(map(a.test_anova, ["m"], ["A"]))),
    ("__get__", lambda a: type(a).__dict__["test_anova"].__get__(a, type(a))("m", "A")),
]


@pytest.mark.parametrize("route", [r[1] for r in ROUTES], ids=[r[0] for r in ROUTES])
def test_every_route_binds_alike(world, route):
    analyser = world.analyser(record=world.record())
    analyser.test_anova("m", "A")
    expected = list(world.log)
    del world.log[:]
    route(analyser)
    # Tables differ by identity only: compare the log with the tables' arguments.
    assert [_plain(event) for event in world.log] == [_plain(event) for event in expected]


def _plain(value):
    if isinstance(value, (tuple, list)):
        return type(value)(_plain(item) for item in value)
    return ("table",) + value.args if isinstance(value, standins.RecordingTable) else value
