"""Where a run's queries go: the one decision, and the objects that carry it out.

:func:`choose_backend` decides once, from the options, which engine runs the queries; the run
then asks the object it returns for everything that depends on that choice, in this order::

    backend = choose_backend(args)
    fmt = backend.check_input(args)          # before any engine starts
    backend.start()
    try:
        frame, source, measures, dimensions = backend.read(args, fmt)
        selection = backend.select_tests(frame, measures, dimensions, args)
        result, tests = backend.analyse(selection, args)
        where = backend.location
        # or, with --formula, instead of select_tests and analyse:
        models = backend.fit_models(frame, formulas)
    finally:
        backend.stop()

A new engine is one more subclass of :class:`Backend` and one more line in
:func:`choose_backend`. An embedded engine that reads local files and runs the one-scan plan's
SQL itself, say, overrides every method: ``check_input`` checks the local file and returns its
format; ``start`` opens a connection (held on the object, never in a module global);
``read`` returns its own relation with the source text and the requested columns;
``select_tests`` returns an object with the attributes of :class:`.prepare.Selection` (the
columns, ``rows``, ``bound``, ``levels``, ``notes``, ``original``, and a ``frame`` that
``analyse`` understands); ``analyse`` returns a result collection and the number of tests filed
(:func:`.analysis.filed_tests`); ``location`` names the engine in the output's header;
``stop`` closes the connection. After ``analyse`` the run refines marked tests and computes
the comparisons asked for through the result objects' methods, handing them
``selection.frame``: that frame is what the engine's result objects read again.
"""
from __future__ import annotations

from typing import Any, List, Optional, Tuple


class Backend:
    """The engine of a run: starts, reads, checks and runs the plan's queries.

    Subclasses implement :meth:`check_input`, :meth:`start`, :meth:`read`, :meth:`stop` and
    :attr:`location`; the Spark backends share the checks and the analysis defined here.
    """

    #: The engine's name in the output's header.
    engine = "Spark"

    def __init__(self) -> None:
        self.session: Any = None
        #: Notes on the engine's own choices, said as soon as they are made.
        self.notes: List[str] = []

    @property
    def describe(self) -> str:
        """Which engine runs the queries, for the run's first line."""
        return "Spark"

    def check_input(self, args: Any) -> Optional[str]:
        """Checks of the input that need no engine; returns the data's format (None: bundled)."""
        raise NotImplementedError

    def start(self) -> None:
        """Start the engine (its session is kept in :attr:`session`)."""
        raise NotImplementedError

    def read(self, args: Any, fmt: Optional[str]) -> Tuple[Any, str, Any, Any]:
        """The input frame, its description, and the requested measures and dimensions."""
        raise NotImplementedError

    def select_tests(self, frame: Any, measures: Any, dimensions: Any, args: Any) -> Any:
        """Check the columns of ``frame`` and decide what the run tests (a Selection)."""
        from Tarnwick.cli.analysis import ONE_SCAN, wants_cache
        from Tarnwick.cli.prepare import select_tests

        return select_tests(frame, measures, dimensions, args.max_levels,
                            cache=wants_cache(args), by_query=args.plan == ONE_SCAN)

    def analyse(self, selection: Any, args: Any) -> Tuple[Any, int]:
        """Run the chosen plan's queries: the result collection and the number of tests."""
        from Tarnwick.cli.analysis import analyse

        return analyse(args.plan, selection, args.max_levels, show_progress=not args.quiet)

    def fit_models(self, frame: Any, formulas: List[str]) -> List[Any]:
        """Fit the linear models of ``formulas`` on ``frame`` (one scan per set of factors);
        raises ``ModelError`` for what the data cannot give."""
        from Tarnwick.bi.stats import linear_model

        return linear_model(frame, formulas)

    @property
    def location(self) -> str:
        """Where the queries ran, as the output's header names it."""
        raise NotImplementedError

    def stop(self) -> None:
        """Stop what :meth:`start` started (nothing when it did not get that far)."""
        raise NotImplementedError


def _bundled(args: Any) -> Tuple[str, Any, Any]:
    """The bundled data's description, and the requested columns or the bundled defaults."""
    from Tarnwick.cli import reader

    source = "bundled Palmer penguins data (%s)" % reader.BUNDLED_NAME
    measures = args.measures if args.measures is not None else reader.BUNDLED_MEASURES
    dimensions = args.dimensions if args.dimensions is not None else reader.BUNDLED_DIMENSIONS
    return source, measures, dimensions


def _checked_format(args: Any) -> Optional[str]:
    """The checks of a local run's input that need no engine; its format (None: bundled)."""
    from Tarnwick.cli import reader

    if not args.data:
        return None
    return reader.check_and_detect(args.data, args.format, glob=args.glob)


class LocalSpark(Backend):
    """A Spark session of the run's own (or spark-submit's): ``--master``, local by default."""

    def __init__(self, args: Any) -> None:
        from Tarnwick.cli.jvm_archive import Options
        from Tarnwick.cli.session import SessionSettings, is_small_input

        super().__init__()
        self.archive = Options()  # the driver JVM's class archive, once started
        self.settings = SessionSettings(
            master=args.master, tuned=not args.no_tuning, spark_ui=args.spark_ui,
            debug=args.debug, extra=tuple(args.conf), small_input=is_small_input(args.data),
        )

    def check_input(self, args: Any) -> Optional[str]:
        from Tarnwick.cli.analysis import ONE_SCAN
        from Tarnwick.cli.session import is_quick_start_run

        fmt = _checked_format(args)
        if fmt is not None:
            # The driver JVM's options wait for the format: a one-scan run on a mid-sized
            # Parquet input may be short enough for the quick-start ones too.
            one_scan = args.plan == ONE_SCAN and not args.formulas and not args.glob
            self.settings = self.settings._replace(small_input=is_quick_start_run(
                self.settings, args.data, fmt, one_scan, args.dimensions))
        return fmt

    def start(self) -> None:
        from Tarnwick.cli.jvm_archive import VARIABLE, folder
        from Tarnwick.cli.session import archive_options, start_session

        archive = self.archive = archive_options(self.settings)
        try:
            self.session = start_session(self.settings._replace(archive=archive.java))
        finally:
            if self.session is None:  # a JVM that started was stopped: its archive unfinished
                self._abandon_if_stopped()
        if archive.writes:
            self.notes.append(
                "the Java runtime writes its classes to %s as it ends, once (about 140 MB): "
                "later runs start faster (set %s=off not to)" % (folder(), VARIABLE))

    def read(self, args: Any, fmt: Optional[str]) -> Tuple[Any, str, Any, Any]:
        from Tarnwick.cli import reader

        if args.data:
            frame = reader.read_file(self.session, args.data, fmt, sep=args.sep,
                                     null_value=args.null_value, glob=args.glob)
            return frame, args.data, args.measures, args.dimensions
        return (reader.read_bundled(self.session),) + _bundled(args)

    @property
    def location(self) -> str:
        return self.session.sparkContext.master

    def stop(self) -> None:
        from Tarnwick.cli.session import stop_session

        if self.session is not None:
            stop_session(self.session)
            self._abandon_if_stopped()

    def _abandon_if_stopped(self) -> None:
        """After a signal the JVM is stopped, not left to end: what it began to write of its
        class archive goes (an interrupt is no failure of the archives' folder)."""
        from Tarnwick.cli import jvm_archive, signals

        if signals.received() is not None:
            jvm_archive.abandon(self.archive.attempt)


class EmbeddedBackend(Backend):
    """DuckDB in this process: local files and the bundled data, read with Spark's semantics
    (``Tarnwick.bi.embedded.reader``) and analysed by the one-scan plan, no JVM.

    Where the embedded reader or the checks cannot give what Spark gives for the input
    (``Unsupported``), the run goes on with local Spark, with a note that says why; unless
    the user asked for this engine, which then refuses the input.
    """

    engine = "embedded"

    def __init__(self, args: Any, asked: bool) -> None:
        super().__init__()
        self.args = args
        self.asked = asked
        self.spark: Optional[LocalSpark] = None  # the backend deferred to, if any

    @property
    def describe(self) -> str:
        import duckdb

        return "embedded (DuckDB %s)" % duckdb.__version__

    def check_input(self, args: Any) -> Optional[str]:
        return _checked_format(args)

    def start(self) -> None:
        from Tarnwick.bi.embedded import reader

        self.session = reader.connect()

    def _defer(self, exc: Exception, fmt: Optional[str]) -> Tuple[Any, str, Any, Any]:
        """Read with local Spark instead, noting why; refused when this engine was asked for."""
        reason = getattr(exc, "reason", str(exc))
        if self.asked:
            from Tarnwick.cli.errors import InputError

            raise InputError("the embedded engine cannot read %s as Spark does: %s; run it "
                             "with --engine spark" % (self.args.data, reason))
        self.notes.append("read with Spark, as the embedded engine cannot match it: %s"
                          % reason)
        self.spark = LocalSpark(self.args)
        self.spark.start()
        return self.spark.read(self.args, fmt)

    def read(self, args: Any, fmt: Optional[str]) -> Tuple[Any, str, Any, Any]:
        from Tarnwick.bi.embedded import reader as embedded
        from Tarnwick.cli import reader

        self.fmt = fmt
        try:
            if args.data:
                frame = embedded.read_file(args.data, fmt, sep=args.sep,
                                           null_value=args.null_value, glob=args.glob,
                                           connection=self.session)
                return frame, args.data, args.measures, args.dimensions
            frame = embedded.read_file(reader.bundled_path(), "csv", null_value="NA",
                                       connection=self.session)
        except embedded.Unsupported as exc:
            return self._defer(exc, fmt)
        return (_bundled_types(frame),) + _bundled(args)

    def select_tests(self, frame: Any, measures: Any, dimensions: Any, args: Any) -> Any:
        from Tarnwick.bi.embedded import reader as embedded
        from Tarnwick.bi.embedded.tables import EmbeddedFrames
        from Tarnwick.cli.analysis import wants_cache
        from Tarnwick.cli.prepare import select_tests

        if self.spark is None:
            try:
                return select_tests(frame, measures, dimensions, args.max_levels,
                                    cache=wants_cache(args) and self.fmt != "parquet",
                                    frames=EmbeddedFrames(), by_query=True)
            except embedded.Unsupported as exc:
                frame, _, measures, dimensions = self._defer(exc, self.fmt)
        return self.spark.select_tests(frame, measures, dimensions, args)

    def analyse(self, selection: Any, args: Any) -> Tuple[Any, int]:
        if self.spark is not None:
            return self.spark.analyse(selection, args)
        return Backend.analyse(self, selection, args)

    @property
    def location(self) -> str:
        if self.spark is not None:
            return self.spark.location
        import duckdb

        return "DuckDB %s" % duckdb.__version__

    def stop(self) -> None:
        if self.spark is not None:
            self.spark.stop()
            self.engine = "Spark"
        if self.session is not None:
            self.session.close()


def _bundled_types(frame: Any) -> Any:
    """The bundled data with the column types the Spark backends give it."""
    from Tarnwick.bi.embedded.tables import derived
    from Tarnwick.cli import reader

    duckdb_types = {"STRING": "VARCHAR", "DOUBLE": "DOUBLE", "INT": "INTEGER"}
    chosen = ", ".join('CAST("%s" AS %s) AS "%s"' % (name, duckdb_types[kind], name)
                       for name, kind in reader._BUNDLED_TYPES)
    return derived(frame, "SELECT %s FROM (%s) AS tw_bundled" % (chosen, frame.sql))


def spark_reasons(args: Any, url: Optional[str]) -> List[str]:
    """What in ``args`` asks for Spark: a master, a Connect server, Spark configuration,
    spark-submit, the per-test plan (the analyser is Spark's), a URI only Spark reads."""
    from Tarnwick.cli import reader
    from Tarnwick.cli.analysis import ONE_SCAN
    from Tarnwick.cli.session import under_spark_submit

    reasons = []
    if url is not None:
        reasons.append("a Spark Connect server (%s)" % ("--remote" if args.remote else
                                                        "SPARK_REMOTE"))
    if args.master is not None:
        reasons.append("--master")
    if args.conf:
        reasons.append("--conf")
    if under_spark_submit():
        reasons.append("spark-submit")
    if args.plan != ONE_SCAN:
        reasons.append("--plan %s" % args.plan)
    if args.data and not reader.is_local_path(args.data):
        reasons.append("a URI only Spark reads (%s)" % args.data.split("://", 1)[0])
    return reasons


class ConnectServer(Backend):
    """A Spark Connect server (``--remote`` or ``SPARK_REMOTE``): it reads the data and runs
    the driver; this process holds a thin client."""

    def __init__(self, url: str, args: Any) -> None:
        super().__init__()
        self.url = url
        self.extra = tuple(args.conf)

    @property
    def describe(self) -> str:
        from Tarnwick.cli import remote

        return "Spark Connect (%s)" % remote.display_url(self.url)

    def check_input(self, args: Any) -> Optional[str]:
        from Tarnwick.cli import remote

        if not args.data:
            return None
        return remote.check_and_detect(args.data, args.format)

    def start(self) -> None:
        from Tarnwick.cli import remote

        self.session = remote.start_session(self.url, extra=self.extra)

    def read(self, args: Any, fmt: Optional[str]) -> Tuple[Any, str, Any, Any]:
        from Tarnwick.cli import reader, remote

        if args.data:
            frame = remote.read_file(self.session, remote.data_path(args.data), fmt,
                                     sep=args.sep, null_value=args.null_value)
            return frame, args.data, args.measures, args.dimensions
        return (reader.read_bundled(self.session),) + _bundled(args)

    @property
    def location(self) -> str:
        from Tarnwick.cli import remote

        return remote.display_url(self.url)

    def stop(self) -> None:
        if self.session is not None:
            self.session.stop()  # the client's session; the server goes on


def choose_backend(args: Any) -> Backend:
    """The backend of the run that ``args`` describe: the one place the engine is chosen.

    Raises
    ------
    InputError
        Options that name two engines at once, or a malformed server URL.
    """
    from Tarnwick.cli import remote
    from Tarnwick.cli.errors import InputError

    url = remote.choose_url(args.remote, args.master)
    engine = getattr(args, "engine", "auto")
    if engine != "spark":
        reasons = spark_reasons(args, url)
        if not reasons:
            return EmbeddedBackend(args, asked=engine == "embedded")
        if engine == "embedded":
            raise InputError("--engine embedded runs local files with the one-scan plan; "
                             "%s needs Spark: leave out --engine embedded" % reasons[0])
    if url is not None:
        return ConnectServer(url, args)
    return LocalSpark(args)


__all__ = ["Backend", "ConnectServer", "EmbeddedBackend", "LocalSpark", "choose_backend",
           "spark_reasons"]
