"""Statistical tests over Spark data frames (``factorpair``: two-way analysis of variance)."""
