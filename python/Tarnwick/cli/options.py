"""Command-line options of ``tarnwick-anova`` (``python -m Tarnwick``)."""
from __future__ import annotations

import argparse
from typing import Any, List, Optional, Sequence

from Tarnwick.cli.analysis import DEFAULT_PLAN, PLANS

#: The engines of ``--engine``.
ENGINES = ("auto", "embedded", "spark")

PROG = "tarnwick-anova"

DESCRIPTION = """\
Two-way analysis of variance of a data file on Apache Spark.

Every measure (numeric column) is tested against every dimension (categorical column) that has
few enough levels, one dimension at a time and in pairs with their interaction. Run without a
data file, it analyses the bundled Palmer penguins data.

With --formula it fits the linear models given instead (N-way analysis of variance and
covariance) and prints each model's ANOVA table and coefficients, then a summary of every term:
the batch tests do not run."""

EPILOG = """\
examples:
  tarnwick-anova
  tarnwick-anova sales.parquet -m revenue,units -d region,channel,segment
  tarnwick-anova data/ --format csv --null-value NA --json -o result.json
  tarnwick-anova big.parquet --master spark://host:7077 --plot plots/
  tarnwick-anova /data/sales.csv --remote sc://connect-host:15002
  tarnwick-anova sales.csv --formula 'revenue ~ region * channel * month + price' --type 3
  tarnwick-anova sales.csv --formula 'revenue ~ Q("sales.region") * C(year)'

exit status: 0 on success, 2 for bad input or a missing Java runtime, 1 for an unexpected failure."""

SS_TYPES = {"1": 1, "I": 1, "2": 2, "II": 2, "3": 3, "III": 3}


def _column_list(text: str) -> List[str]:
    names = [name.strip() for name in text.split(",")]
    if not all(names):
        raise argparse.ArgumentTypeError("empty column name in %r" % text)
    return names


def _one_name(text: str) -> List[str]:
    if not text:
        raise argparse.ArgumentTypeError("empty column name")
    return [text]


def _separator(text: str) -> str:
    if not text:
        raise argparse.ArgumentTypeError("the separator cannot be empty (for a tab: --sep $'\\t')")
    return text


def _ss_type(text: str) -> int:
    try:
        return SS_TYPES[text.upper()]
    except KeyError:
        raise argparse.ArgumentTypeError("invalid choice: %r (choose 1, 2 or 3, or I, II or III)" % text)


def _non_negative_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: %r" % text)
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more, not %d" % value)
    return value


def _probability(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a number: %r" % text)
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError("must be between 0 and 1, not %s" % text)
    return value


def _conf_pair(text: str):
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise argparse.ArgumentTypeError("expected KEY=VALUE, got %r" % text)
    return key.strip(), value


def build_parser() -> argparse.ArgumentParser:
    """The parser of ``tarnwick-anova``: the data argument, then one group of options each."""
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "data",
        nargs="?",
        metavar="DATA",
        help="a CSV, Parquet or JSON file, or a directory of them (local path or any URI that "
        "Spark reads, such as hdfs:// or s3a://); default: the bundled penguins data",
    )
    for add_group in (_columns, _models, _reading, _significance, _comparisons, _output,
                      _spark):
        add_group(parser)
    parser.add_argument("--version", action="version", version="%(prog)s " + _version())
    return parser


def _columns(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("what to test")
    group.add_argument(
        "-m",
        "--measures",
        type=_column_list,
        action="append",
        metavar="COL[,COL...]",
        help="numeric columns to test, in order (default: every numeric column)",
    )
    group.add_argument(
        "--measure",
        dest="measures",
        type=_one_name,
        action="append",
        metavar="NAME",
        help="one measure, its name taken exactly as given (commas and edge spaces included); "
        "repeatable, and combines with -m in the order given",
    )
    group.add_argument(
        "-d",
        "--dimensions",
        type=_column_list,
        action="append",
        metavar="COL[,COL...]",
        help="categorical columns to test against (default: every string column); "
        "a non-string column named here is tested with its values as levels, and a named "
        "column is tested whatever its number of levels",
    )
    group.add_argument(
        "--dimension",
        dest="dimensions",
        type=_one_name,
        action="append",
        metavar="NAME",
        help="one dimension, its name taken exactly as given; repeatable, combines with -d",
    )
    group.add_argument(
        "--max-levels",
        "--max-num-levels",
        dest="max_levels",
        type=_non_negative_int,
        default=40,
        metavar="N",
        help="largest number of levels a dimension may have to be chosen without -d "
        "(default: 40); the bound is lowered further to round(rows ** 0.35)",
    )
    group.add_argument(
        "-t",
        "--type",
        dest="ss_type",
        type=_ss_type,
        default=2,
        metavar="{1,2,3}",
        help="sums of squares of the two-way tables: 1 sequential, 2 (default) or 3 "
        "(sum-to-zero contrasts)",
    )


#: Options of the batch tests, which a run that fits formulas does not take.
BATCH_ONLY = (("measures", "-m/--measure"), ("dimensions", "-d/--dimension"),
              ("post_hoc", "--post-hoc"), ("welch", "--welch"), ("levene", "--levene"),
              ("brown_forsythe", "--brown-forsythe"), ("plot", "--plot"))


def _models(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("linear models")
    group.add_argument(
        "--formula",
        dest="formulas",
        action="append",
        metavar="'Y ~ TERMS'",
        help="fit this linear model instead of the batch tests (repeatable): a string column "
        "is a factor, a numeric column a covariate, C(col) a numeric column as a factor, "
        "Q(\"odd name\") a column whose name is not a plain word; terms a*b*c, (a+b)**2, a:b, x, "
        "a:x. Formulas with the same factors share one scan of the data. --type chooses the "
        "ANOVA table, --correction adjusts the summary over every term of every model, "
        "--alpha sets the coefficients' intervals; -m, -d, the comparisons and --plot are "
        "refused with it, and --plan and --max-levels have no effect",
    )


def _reading(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("reading the data")
    group.add_argument(
        "--format",
        choices=("csv", "parquet", "json"),
        help="input format (default: from the file name extension)",
    )
    group.add_argument(
        "--glob",
        action="store_true",
        help="DATA is a pattern (Hadoop glob: * ? [abc] {a,b}) instead of a literal path",
    )
    group.add_argument(
        "--sep", default=",", type=_separator, metavar="CHAR", help="CSV field separator (default: ,)"
    )
    group.add_argument(
        "--null-value",
        metavar="TEXT",
        help="CSV text that stands for a missing value, such as NA (empty fields always do)",
    )


def _significance(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("significance")
    group.add_argument(
        "--correction",
        choices=("holm", "bh", "none"),
        default="holm",
        help="multiple-testing adjustment of the summary's p-values over all tests: holm "
        "(default), bh (Benjamini-Hochberg) or none",
    )
    group.add_argument(
        "--alpha",
        type=_probability,
        default=0.05,
        metavar="A",
        help="significance level that picks the tests to compare, and 1 - A the confidence of "
        "the comparisons' intervals (default: 0.05)",
    )


def _comparisons(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group("which levels differ")
    group.add_argument(
        "--post-hoc",
        choices=("tukey", "games-howell"),
        help="compare every pair of levels for the one-way tests whose F is significant at "
        "--alpha after the --correction: tukey (Tukey-Kramer, pooled variance) or games-howell "
        "(each level's own variance; one extra Spark aggregation per test)",
    )
    group.add_argument(
        "--post-hoc-all", action="store_true", help="compare the levels of every one-way test"
    )
    group.add_argument(
        "--welch",
        action="store_true",
        help="Welch's unequal-variance F beside each one-way table (one extra aggregation each)",
    )
    group.add_argument(
        "--levene",
        action="store_true",
        help="Levene's test of equal variances (deviations from the level means) for each one-way "
        "test (one extra aggregation each)",
    )
    group.add_argument(
        "--brown-forsythe",
        action="store_true",
        help="Brown-Forsythe's test of equal variances (deviations from the level medians)",
    )


def _output(parser: argparse.ArgumentParser) -> None:
    output = parser.add_argument_group("output")
    fmt = output.add_mutually_exclusive_group()
    fmt.add_argument("--json", action="store_true", help="print the results as JSON")
    fmt.add_argument("--csv", action="store_true", help="print the results as one CSV table")
    output.add_argument(
        "-o",
        "--output",
        metavar="PATH",
        help="write the results to PATH instead of stdout (only when the analysis succeeds)",
    )
    output.add_argument(
        "--plot",
        metavar="DIR",
        help="write an interaction plot (PNG) for every measure and pair of dimensions to DIR "
        "(needs matplotlib: pip install 'Tarnwick[plot]')",
    )
    output.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no notes on stderr"
    )
    output.add_argument(
        "--debug", action="store_true", help="show Python tracebacks and Spark's warnings"
    )


def _spark(parser: argparse.ArgumentParser) -> None:
    engine = parser.add_argument_group("Engine")
    engine.add_argument(
        "--engine",
        choices=ENGINES,
        default="auto",
        help="what runs the queries: embedded (DuckDB in this process, no Java needed), spark, "
        "or auto (default): embedded for local files and the bundled data, Spark when "
        "--master, --remote (or SPARK_REMOTE), --conf, spark-submit, --plan per-test "
        "or a URI only Spark reads (hdfs://, s3a://, ...) asks for it, or when the embedded reader "
        "cannot read the file as Spark does (with a note that says why)",
    )
    group = parser.add_argument_group("Spark")
    group.add_argument(
        "--master",
        metavar="URL",
        help="Spark master: local[*] (default), local[N], spark://HOST:PORT, yarn, k8s://...; "
        "under spark-submit, the master spark-submit was given",
    )
    group.add_argument(
        "--remote",
        metavar="sc://HOST:PORT",
        help="run on a Spark Connect server, which reads the data (pyspark 4 with its connect "
        "extra; no local Java needed); default: the SPARK_REMOTE environment variable when "
        "--master is not given",
    )
    group.add_argument(
        "--conf",
        type=_conf_pair,
        action="append",
        default=[],
        metavar="KEY=VALUE",
        help="extra Spark configuration (repeatable), such as spark.executor.memory=4g",
    )
    group.add_argument(
        "--spark-ui", action="store_true", help="keep Spark's web UI on (off by default)"
    )
    group.add_argument(
        "--no-tuning",
        action="store_true",
        help="use Spark's own session defaults (shuffle partitions, UI, the driver JVM's "
        "options and class archive) instead of the tuned local ones (for comparison)",
    )
    _caching(group)
    group.add_argument(
        "--plan",
        choices=PLANS,
        default=DEFAULT_PLAN,
        help="how Spark computes the tables: one-scan (default: every table from one "
        "aggregation of the data) or per-test (one aggregation per measure, dimension and "
        "pair, the analyser's own plan); both give the same tables",
    )


def _caching(group: Any) -> None:
    """--no-cache and --cache: the default depends on the plan (see ``analysis.wants_cache``)."""
    caching = group.add_mutually_exclusive_group()
    caching.add_argument(
        "--no-cache",
        action="store_true",
        help="do not cache the input before the analysis (for comparison, or when the data "
        "does not fit the executors' memory); by default only the per-test plan caches it, as "
        "it reads the input once per test",
    )
    caching.add_argument(
        "--cache",
        action="store_true",
        help="cache the input before the analysis with the one-scan plan too, which by default "
        "reads the input once for its tables and does not cache it; it pays when comparisons "
        "or variance tests (--post-hoc games-howell, --welch, --levene, --brown-forsythe) read "
        "the input again",
    )


def _version() -> str:
    try:
        from Tarnwick.version import __version__

        return __version__
    except ImportError:  # pragma: no cover - a broken installation
        return "(unknown version)"


def parse_args(argv: Optional[Sequence[str]] = None) -> argparse.Namespace:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.post_hoc_all and not args.post_hoc:
        parser.error("--post-hoc-all needs --post-hoc tukey or --post-hoc games-howell")
    if args.formulas:
        given = [option for name, option in BATCH_ONLY if getattr(args, name)]
        if given:
            parser.error("--formula names its own columns and fits models instead of the batch "
                         "tests: leave out %s" % ", ".join(given))
    args.measures = _flatten(args.measures)
    args.dimensions = _flatten(args.dimensions)
    return args


def _flatten(groups: Optional[List[List[str]]]) -> Optional[List[str]]:
    if groups is None:
        return None
    return [name for group in groups for name in group]
