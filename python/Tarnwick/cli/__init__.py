"""Command line: two-way analysis of variance of a data file on Spark.

``tarnwick-anova [DATA] [options]`` (or ``python -m Tarnwick``) reads a CSV, Parquet or JSON
file or directory with Spark, tests every measure against every dimension and prints the ANOVA
tables. Without DATA it analyses the bundled Palmer penguins data. See
``tarnwick-anova --help``.

The package is cut along the steps of a run:

* :mod:`.command` runs a command (``main``, ``run``) and turns failures into exit statuses;
* :mod:`.options` builds the parser, one function per option group;
* :mod:`.backend` chooses once where the run's queries go (a local Spark session or a Spark
  Connect server) and starts, reads, checks and analyses through that choice;
* :mod:`.prepare` checks the data and decides what the run tests;
* :mod:`.analysis` runs the chosen plan and everything computed after it (refinement,
  comparisons and variance tests) through the result objects' own methods;
* :mod:`.present` formats the results as text, JSON or CSV.
"""
from Tarnwick.cli.command import main, run
from Tarnwick.cli.errors import InputError

__all__ = ["main", "run", "InputError"]
