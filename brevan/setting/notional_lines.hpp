// Where each step of the module stands in its notional Python source
// (docs/notional-source.md): the line a traceback entry names when an error
// leaves a function at that step. Every number is here and nowhere else, each
// followed by the start of the line it names; tests/test_source_layout.py
// checks both against the listing.
#pragma once

namespace brevan {

// The module body, run at import.
constexpr int kLineImportShutil = 1;  // import shutil
constexpr int kLineImportSite = 2;  // import site
constexpr int kLineImportSubprocess = 3;  // import subprocess
constexpr int kLineImportSys = 4;  // import sys
constexpr int kLineFromPathlib = 5;  // from pathlib import Path
constexpr int kLineFromVexil = 6;  // from vexil import dumps, iprint, loads
constexpr int kLineTjs = 8;  // tjs = [Path.cwd() / "tolvek.json", Path.home() / "tolvek....
constexpr int kLineDefaults = 9;  // defaults = {
constexpr int kLineTest = 114;  // __test__ = {}

// The `def` lines: where argument-binding errors point.
constexpr int kLineDefClear = 18;  // def clear(pattern: str = "*~*"):
constexpr int kLineDefSave = 26;  // def save(obj: dict, path: str | Path = "", override: bool...
constexpr int kLineDefRead = 42;  // def read(path: list[str | Path] = tjs) -> tuple:
constexpr int kLineDefFind = 67;  // def find(site: str):
constexpr int kLineDefStartup = 98;  // def startup():

// clear()
constexpr int kLineClearLoop = 19;  // for sp in [site.getusersitepackages()] + site.getsitepack...
constexpr int kLineClearQualifies = 20;  // if "site-packages" in sp:
constexpr int kLineClearGlob = 21;  // for fp in Path(sp).glob(pattern=pattern):
constexpr int kLineClearInside = 22;  // if _strictly_inside(fp, sp):
constexpr int kLineClearRemove = 23;  // shutil.rmtree(fp, ignore_errors=True)

// save()
constexpr int kLineSaveTarget = 33;  // _path = Path(path) if path else Path(tjs[1])
constexpr int kLineSaveExists = 34;  // if not override and _path.exists():
constexpr int kLineSaveDumps = 36;  // text = dumps(obj)
constexpr int kLineSaveMkdir = 37;  // _path.parent.mkdir(parents=True, exist_ok=True)
constexpr int kLineSaveReplace = 38;  // with _replacing(_path) as w:
constexpr int kLineSaveWrite = 39;  // w.write(text)

// read()
constexpr int kLineReadConfig = 51;  // config = {}
constexpr int kLineReadFor = 52;  // for _path in path:
constexpr int kLineReadPath = 53;  // _path = Path(_path)
constexpr int kLineReadOpen = 55;  // with open(_path, "r") as f:
constexpr int kLineReadAnnounce = 56;  // iprint(f"Load settings from {_path}", foreground="cyan")
constexpr int kLineReadLoad = 57;  // config = loads(f.read())
constexpr int kLineReadFailed = 61;  // iprint(f"Failed to load {_path}: {e}", foreground="yellow")
constexpr int kLineReadHint = 62;  // iprint("To override the global settings, place tolvek.jso...
constexpr int kLineReadReturn = 64;  // return _path, config if config else defaults

// find()
constexpr int kLineFindStart = 79;  // sysdir = ""
constexpr int kLineFindOption = 80;  // if not site.startswith("-"):
constexpr int kLineFindRun = 82;  // status = subprocess.run([format(sys.executable, ""), "-m"...
constexpr int kLineFindStatus = 84;  // if status.returncode == 0:
constexpr int kLineFindLines = 85;  // for s in status.stdout.decode().splitlines():
constexpr int kLineFindMatch = 86;  // if "location" in s.lower():
constexpr int kLineFindValue = 87;  // sysdir = s.split(":", 1)[-1].strip()
constexpr int kLineFindFailed = 89;  // raise Exception(status.stderr.decode())
constexpr int kLineFindPrint = 91;  // print(e)
constexpr int kLineFindEmpty = 92;  // if not sysdir:
constexpr int kLineFindMissing = 93;  // raise Exception(iprint(f"{site} not installed", foregroun...
constexpr int kLineFindFound = 94;  // iprint(f"{site} found in {sysdir}", foreground="cyan")
constexpr int kLineFindReturn = 95;  // return sysdir

// startup()
constexpr int kLineClear = 101;  // clear()
constexpr int kLineRead = 102;  // path, config = read()
constexpr int kLineCompare = 103;  // if set(defaults) <= set(config):
constexpr int kLineFallback = 106;  // config, override = defaults, True
constexpr int kLineBackup = 107;  // _backup(path)
constexpr int kLineSave = 108;  // save(config, path, override=override)
constexpr int kLineResult = 109;  // return config | {"tjs": path}
constexpr int kLineWarn = 111;  // iprint(f"Failed to open {path}: {e}", foreground="yellow")

}  // namespace brevan
