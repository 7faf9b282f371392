"""Sphinx configuration of the API reference (`make docs` builds it into build/docs)."""

# The installed package is documented (make docs installs it first); a source tree
# with its modules built in place (make dev) works too, with PYTHONPATH=src.
import velarix

project = "velarix"
author = "velarix developers"
copyright = "velarix developers, MIT licence"
release = velarix.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "myst_parser",  # the concepts come from README.md itself
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build"]

# Google-style docstrings (Args:, Returns:, Raises:).
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_rtype = False

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": True}
# Names in docstrings are written in backticks, as in the README; they are code,
# not references to resolve.
default_role = "code"

# README.md starts its sections at level 2 (its title is the page's).
suppress_warnings = ["myst.header"]

html_theme = "alabaster"
html_title = f"velarix {release}"

