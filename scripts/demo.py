"""What a host tool does with brevan.setting (run by demo.sh)."""

import sys
from pathlib import Path

import brevan.setting as setting


def start():
    settings = setting.startup()
    path = settings.pop("tjs")
    print(f"startup() returned the settings of {path}:")
    for section, values in settings.items():
        print(f"    {section}: {values}")
    print(f"{path.name} holds:")
    print(Path(path).read_text(), end="")


def find():
    location = setting.find("pip")
    print(f"find('pip') returned {location!r}")
    try:
        setting.find("no-such-package-here")
    except Exception as error:
        print(f"find('no-such-package-here') raised {error!r}")


if __name__ == "__main__":
    {"start": start, "find": find}[sys.argv[1]]()
