"""Settings text (strict ASCII JSON via the json module) and coloured console output."""

from typing import Any

def dumps(obj: Any, /) -> str:
    """Return obj as settings text: indented JSON, ASCII only, one trailing newline.

    Raises TypeError for dict keys that are not str and ValueError for NaN or
    infinite floats.
    """

def loads(text: str, /) -> Any:
    """Parse settings text as strict JSON (no NaN, Infinity or numbers too large for a float).

    Every parse error is a ValueError whose message names the line and column.
    """

def iprint(message: str, foreground: str | None = None, background: str | None = None) -> str:
    """Write message and a newline to sys.stdout, coloured if colour is on; return message.

    Colour is off when NO_COLOR is set, on when FORCE_COLOR is set, and
    otherwise on only when sys.stdout is a terminal.
    """
