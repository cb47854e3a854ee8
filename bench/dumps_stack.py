"""The C stack a vexil.dumps call needs, measured under gdb.

    python bench/dumps_stack.py

For each workload, gdb stops at every call vexil's code makes into the
interpreter (the functions named below) and measures the stack from the
caller of the innermost dumps down to that point: the most any stop shows is
what the call itself needs before the interpreter runs again. For a workload
that enters dumps again through Python code, it also gives the stack between
two successive entries (the median), interpreter frames included. Needs gdb
and an interpreter built with its symbols (pyenv's are); prints figures only.
"""

import statistics
import subprocess
import sys

CALLS_OUT = ["PyUnicode_AsUTF8AndSize", "PyDict_Next", "PyDict_Size", "PyList_Size", "PyTuple_Size",
             "PyLong_AsLongLongAndOverflow", "PyObject_CallMethod", "PyObject_GetIter", "PyIter_Next",
             "PyUnicode_FromStringAndSize", "PyMapping_Items", "PyObject_IsTrue", "PyObject_Vectorcall",
             "Py_EnterRecursiveCall", "PyList_GetItem", "PyTuple_GetItem", "PyObject_RichCompare",
             "PyFloat_AsDouble", "PySequence_Fast", "PyModule_GetState", "Py_GetRecursionLimit"]

# Where the interpreter calls a builtin function taking one argument (not
# where it executes a module, which vexil's set-up also does).
CALLERS = {"cfunction_vectorcall_O", "_PyEval_EvalFrameDefault"}

WORKLOADS = {
    "flat dict of leaves": '{"a": "x", "b": 1.5, "c": 10**30, "d": [True, None]}',
    "nested 1 level": "nest(1)",
    "nested 16 levels": "nest(16)",
    "nested 32 levels": "nest(32)",
    "nested 200 levels": "nest(200)",
    "a dict subclass": '{"a": Dict(b="x")}',
    "items() calling dumps, 30 deep": "Calls(30)",
}

SETUP = """
import sys, vexil
class Dict(dict): pass
class Calls(dict):
    def __init__(self, n): super().__init__(a=1); self.n = n
    def items(self): return [("x", len(vexil.dumps(Calls(self.n - 1))) if self.n else 0)]
def nest(k):
    obj = "x"
    for _ in range(k): obj = [obj]
    return obj
"""


def in_gdb():
    import gdb

    def in_vexil(frame):
        name = gdb.solib_name(frame.pc())
        return bool(name) and "vexil" in name

    found = {"most": 0, "entries": []}

    class Stop(gdb.Breakpoint):
        def stop(self):
            frame = gdb.newest_frame()
            if frame.older() is None or not in_vexil(frame.older()):
                return False
            sp = int(frame.read_register("rsp"))
            entries = []  # the stack pointer of each frame that called dumps
            older = frame.older()
            while older is not None:
                if older.name() in CALLERS and in_vexil(older.newer()):
                    entries.append(int(older.read_register("rsp")))
                older = older.older()
            if entries:
                found["most"] = max(found["most"], entries[0] - sp)
                if len(entries) > len(found["entries"]):
                    found["entries"] = entries
            return False

    gdb.execute("set pagination off")
    gdb.execute("set breakpoint pending on")
    for name in CALLS_OUT:
        Stop(name, internal=True)
    gdb.execute("run")
    entries = found["entries"]
    gaps = [b - a for a, b in zip(entries, entries[1:])]
    print(f"RESULT {found['most']} {statistics.median(gaps) if gaps else 0}")


def main():
    print(f"{sys.version.split()[0]}: bytes of C stack below the caller of dumps")
    for label, expression in WORKLOADS.items():
        code = SETUP + f"obj = {expression}\nvexil.dumps(obj)\n"
        result = subprocess.run(["gdb", "-batch", "-x", __file__, "--args", sys.executable, "-c", code],
                                capture_output=True, text=True)
        line = next((line for line in result.stdout.splitlines() if line.startswith("RESULT")), None)
        if line is None:
            print(f"  {label}: no figure\n{result.stdout[-2000:]}{result.stderr[-2000:]}")
            continue
        most, per_entry = line.split()[1:]
        extra = f", {float(per_entry):,.0f} between entries" if float(per_entry) else ""
        print(f"  {label:<34}{int(most):>7,}{extra}")


if __name__ == "__main__":
    try:
        import gdb  # noqa: F401
    except ImportError:
        main()
    else:
        in_gdb()
