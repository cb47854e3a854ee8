"""A host tool's own regular `brevan` package holds `setting` when both sit
in one directory, or when the host's package extends its path."""

import pytest

HOST_INIT = {"plain": "", "extend_path": "from pkgutil import extend_path\n__path__ = extend_path(__path__, __name__)\n"}

CHILD = """
import importlib.util, sys
from pathlib import Path
installed = importlib.util.find_spec("brevan.setting").origin   # found, not loaded
host = Path({site!r}) / "brevan"
host.mkdir(parents=True)
(host / "__init__.py").write_text({init!r})
(host / "tool.py").write_text("NAME = 'host tool'\\n")
if {same_dir!r}:
    (host / Path(installed).name).symlink_to(installed)
del sys.modules["brevan"]  # a fresh import, as in a new process with the host installed
sys.path.insert(0 if {position!r} == "first" else len(sys.path), {site!r})
import brevan.tool
print(brevan.tool.NAME)
try:
    import brevan.setting
except ImportError as error:
    print(type(error).__name__)
else:
    print("setting", brevan.setting.find is not None)
"""


@pytest.mark.parametrize(
    ("init", "same_dir", "position", "expected"),
    [
        ("plain", True, "first", "setting True"),  # the supported layout: side by side
        # A regular package elsewhere on sys.path hides setting, wherever it is...
        ("plain", False, "first", "ModuleNotFoundError"),
        ("plain", False, "last", "ModuleNotFoundError"),
        # ...unless it extends its path over the other entries.
        ("extend_path", False, "first", "setting True"),
        ("extend_path", False, "last", "setting True"),
    ],
)
def test_host_brevan_package(run_python, tmp_path, init, same_dir, position, expected):
    code = CHILD.format(site=str(tmp_path / "host-site"), init=HOST_INIT[init], same_dir=same_dir, position=position)
    assert run_python(code).stdout.splitlines() == ["host tool", expected]
