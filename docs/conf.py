"""Sphinx configuration of the korvo user guide.

Build with warnings as errors:
    python -m sphinx -W -b html docs docs/_build/html
korvo must be importable (installed, or on PYTHONPATH)."""
project = "korvo"
author = "the korvo developers"
extensions = ["sphinx.ext.autodoc"]
master_doc = "index"
exclude_patterns = ["_build"]
html_theme = "alabaster"
autodoc_typehints = "none"
# The docstrings of the extension module use their own section layout
# (Purpose:, Synopsis:, Arguments:, ...), shown as literal text.
autodoc_docstring_signature = False


def _literal_common_layout(app, what, name, obj, options, lines):
    """The extension module's docstrings are plain text in the common layout
    (Purpose:, Synopsis:, ...): shown as they are, as a literal block."""
    if lines and lines[0].startswith("Purpose:"):
        lines[:] = ["::", ""] + ["   " + line for line in lines] + [""]


def setup(app):
    app.connect("autodoc-process-docstring", _literal_common_layout)
