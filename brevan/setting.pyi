"""User settings, site-packages clean-up and package lookup for the host tool."""

import shutil as shutil
import site as site
import subprocess as subprocess
import sys as sys
from pathlib import Path as Path
from typing import Any, overload

from vexil import dumps as dumps, iprint as iprint, loads as loads

tjs: list[Path]
"""The candidate settings files, fixed at import: ./tolvek.json, then ~/tolvek.json."""

defaults: dict[str, dict[str, Any]]
"""The built-in settings (sections "server" and "studio"), shared by every caller."""

__test__: dict[str, Any]

def clear(pattern: str = "*~*") -> None:
    """Removes directories matching `pattern` directly inside the site-packages directories."""

def save(obj: dict[str, Any], path: str | Path = "", override: bool = False) -> None:
    """Save obj to file given by path

    Args:
        obj (dict): object to be saved
        path (str | Path): path to save the file
    """

# list is invariant, so each list a caller may hold is named: tjs (a
# list[Path]), a list[str], and a list display mixing both, which mypy types
# only against a single list type, hence overloads rather than one union.
# A tuple or any other sequence is refused at run time.
@overload
def read(path: list[str | Path] = ...) -> tuple[Path, Any]:
    """Load content of file given by path

    Args:
        path (str | Path): path of file

    Returns:
        dict: content of file
    """

@overload
def read(path: list[str] = ...) -> tuple[Path, Any]: ...
@overload
def read(path: list[Path] = ...) -> tuple[Path, Any]: ...

def find(site: str) -> str:
    """Check whether the package with name site has been installed

    Args:
        site (str): package name to be installed by 'pip install -e.'

    Raises:
        Exception: site not found

    Returns:
        str: site directory
    """

def startup() -> dict[str, Any] | None:
    """Cleans up, reads (or falls back to the defaults), saves, and returns the settings
    with the settings-file path under "tjs"; None after a warning."""
