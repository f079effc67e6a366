"""The project's version, read from pyproject.toml, the one place it is written (the module
and its native tests are built from the same line). A regex rather than tomllib, which
Python 3.10 lacks; the first line-initial `version = ` is [project]'s."""
import pathlib
import re

PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"

PROJECT_VERSION = re.search(r'^version = "([^"]+)"', PYPROJECT.read_text(), re.M).group(1)
