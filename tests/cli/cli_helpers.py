"""Running the command line as a user does (in a subprocess), and the small files it reads."""
import subprocess
import sys

import numpy as np
import pandas as pd

from support.environment import clean_env as cli_env

CLI_TIMEOUT = 240


def run_cli(args, env=None, cwd=None, timeout=CLI_TIMEOUT, **popen):
    """Run ``python -m Tarnwick ARGS``; returns the CompletedProcess (text, both streams)."""
    return subprocess.run(
        [sys.executable, "-m", "Tarnwick"] + [str(a) for a in args],
        env=env if env is not None else cli_env(),
        cwd=cwd,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=timeout,
        **popen
    )


#: The run's first line on stderr, which names the engine: not part of what a run says.
ENGINE_LINE = "tarnwick-anova: engine: "


def said(stderr):
    """The non-blank lines of a run's stderr, less the line that names the engine."""
    return [line for line in stderr.splitlines()
            if line.strip() and not line.startswith(ENGINE_LINE)]


def make_frame(rows=600, seed=7):
    """A generated table: measures y (float, some nulls) and z (int); dimensions a, b, c."""
    rng = np.random.RandomState(seed)
    a = rng.choice(["north", "south", "east"], size=rows)
    b = rng.choice(["p", "q", "r", "s"], size=rows)
    c = rng.choice(["on", "off"], size=rows)
    effect_a = pd.Series(a).map({"north": 0.0, "south": 1.5, "east": -0.7}).values
    effect_b = pd.Series(b).map({"p": 0.0, "q": 0.4, "r": 0.9, "s": -0.2}).values
    y = 10.0 + effect_a + effect_b + 0.8 * (c == "on") * (a == "south") + rng.normal(0, 1, rows)
    y = np.round(y, 6)
    y[rng.rand(rows) < 0.05] = np.nan
    z = (100 + 3 * effect_a + rng.poisson(4, rows)).astype(int)
    return pd.DataFrame({"a": a, "y": y, "b": b, "z": z, "c": c})
