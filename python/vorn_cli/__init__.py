"""Command-line tool for VORN documents: ``vorn encode|decode|check|stats``.

Run ``vorn --help`` or ``python -m vorn_cli --help``.
"""

from .cli import main

__all__ = ["main"]
