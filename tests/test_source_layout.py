"""What the sources and their documents must keep in step: each notional line
number the C++ names against the listing of docs/notional-source.md, and the
source layout table of docs/internals.md against the files there are.

These read the checkout, not the installed module; they skip where the tests
run without the sources beside them."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
SOURCES = ROOT / "brevan" / "setting"

pytestmark = pytest.mark.skipif(not (SOURCES / "notional_lines.hpp").is_file(),
                                reason="the sources are not beside the tests")


def listing():
    text = (ROOT / "docs" / "notional-source.md").read_text()
    return {int(n): line for n, line in re.findall(r"^ *(\d+)  (.*)$", text, re.M)}


def source_files():
    return sorted(p for d in ("brevan/setting", "vexil", "common")
                  for p in (ROOT / d).glob("*.[ch]pp"))


def test_notional_line_numbers_name_their_lines():
    lines = listing()
    header = (SOURCES / "notional_lines.hpp").read_text()
    found = re.findall(r"^constexpr int (kLine\w+) = (\d+);  // (.*)$", header, re.M)
    assert len(found) == header.count("constexpr int"), "one constant a line, with its text"
    wrong = {}
    for name, number, text in found:
        actual = lines.get(int(number), "").strip()
        expected = text.removesuffix("...")
        if not actual.startswith(expected) or (expected == text and actual != text):
            wrong[name] = (int(number), text, actual)
    assert not wrong
    # Each function's def line is one of them, and no number lives elsewhere.
    defs = {name for name, _, text in found if text.startswith("def ")}
    assert defs == {f"kLineDef{f}" for f in ("Clear", "Save", "Read", "Find", "Startup")}
    elsewhere = [p.name for p in source_files()
                 if p.name != "notional_lines.hpp" and re.search(r"constexpr int kLine", p.read_text())]
    assert not elsewhere


def test_layout_table_lists_every_source_file():
    text = (ROOT / "docs" / "internals.md").read_text()
    section = text.split("## Source layout", 1)[1].split("\n## ", 1)[0]
    listed = set(re.findall(r"^\| `([\w/.]+\.[ch]pp)` \|", section, re.M))
    present = {str(p.relative_to(ROOT)) for p in source_files()}
    assert sorted(present - listed) == [], "missing from docs/internals.md"
    assert sorted(listed - present) == [], "listed in docs/internals.md, but gone"
