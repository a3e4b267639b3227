"""pytest plugin for the isolated reliability run: stand-ins installed before any import.

Loaded with ``-p fake_host`` so that it runs before the test modules import the analyser.
"""
from support import standins

standins.install(recording=True)
