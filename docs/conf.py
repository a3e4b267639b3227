"""Sphinx configuration of Tarnwick's documentation: the API reference is built from the
docstrings of the installed package (numpydoc), the manuals are Markdown (MyST)."""
import Tarnwick.version

project = "Tarnwick"
author = "The Tarnwick developers"
release = Tarnwick.version.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.intersphinx",
    "numpydoc",
    "myst_parser",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# The docstrings are numpydoc; their type fields name pandas and pyspark types, which are
# not cross-referenced (the build is offline), so they stay plain text.
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
autodoc_member_order = "bysource"
autodoc_typehints = "none"
autodoc_default_options = {"members": True, "show-inheritance": False}

myst_heading_anchors = 3
html_theme = "alabaster"
html_static_path: list = []
