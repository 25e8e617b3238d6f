"""Sphinx configuration of the quintara documentation.

The build runs offline: no intersphinx, no remote images or fonts, and every
walkthrough in examples/ is executed (a failing one fails the build).
"""

from __future__ import annotations

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import quintara  # noqa: E402

sys.path.insert(0, str(Path(__file__).parent / "_ext"))

project = "quintara"
author = "the quintara developers"
copyright = "the quintara developers"
release = quintara.__version__
version = release

extensions = [
    "sphinx.ext.autodoc",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "sphinxarg.ext",
    "plain_bars",
]

# Backticked names in docstrings resolve as Python objects where they can.
default_role = "py:obj"
exclude_patterns = ["_build", "examples/README.rst", "examples/*.py"]
templates_path: list[str] = []

autodoc_member_order = "bysource"
autodoc_typehints = "none"  # numpydoc's Parameters section states the types
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "walkthroughs",
    "filename_pattern": r"/walk_",
    "abort_on_example_error": True,
    "only_warn_on_example_error": False,
    "download_all_examples": False,
    "remove_config_comments": True,
    "within_subsection_order": "FileNameSortKey",
    "show_memory": False,
    "min_reported_time": 10**9,  # run times vary with the machine: not shown
    "image_scrapers": ("matplotlib",),
    "capture_repr": (),  # a plot call's returned Axes is not output
    "reset_modules": ("matplotlib",),
}

html_theme = "furo"
html_title = f"quintara {release}"
html_static_path: list[str] = []
html_show_sourcelink = False
