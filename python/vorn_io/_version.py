"""The package's version, which pyproject.toml sets.

The build writes it into the installed package as ``_built_version.py``
(tool.scikit-build.generate), so reading it costs no metadata lookup at
import. Run from a checkout, where that file does not exist, it is the
installed distribution's version instead. ``vorn_io.__version__`` and
``vorn --version`` both come from here.
"""

try:
    from ._built_version import version as __version__  # type: ignore[import-not-found, unused-ignore]
except ImportError:
    from importlib import metadata

    try:
        __version__ = metadata.version("vorn")
    except metadata.PackageNotFoundError:
        __version__ = "0+unknown"

__all__ = ["__version__"]
