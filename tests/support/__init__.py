"""Shared by the tests and the benchmarks: the analyser module's source table and the stand-ins
for its collaborators."""
