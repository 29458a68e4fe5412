"""Private names of pyusb, CPython and nanobind: the extension module uses exactly those listed in
src/private_names.md; the adapter core, its binding and the protocol code use none; and the python-can
Bus and command line reach none, neither in the binary they load nor through what they import."""
import ast
import importlib.util
import re
import subprocess
import sys
import textwrap
import uuid
from pathlib import Path

import pytest

import load_fdhost

ROOT = load_fdhost.ROOT
SRC = ROOT / "src"
LIST = SRC / "private_names.md"
EXTENSION_DIRS = ["device", "commands", "receive", "transmit", "python", "module"]
CLEAN_DIRS = ["core", "binding", "protocol"]

# What counts as a private name in C++ source: CPython's underscored symbols and the fields of its
# object layouts, attribute names with a leading underscore, two attributes of pyusb's backend, and
# nanobind's detail namespace and internal call macro.
PATTERN = re.compile(
    r'\b_Py[A-Za-z_]+\b|\b(?:tp_version_tag|Py_REFCNT|ob_item|PyListObject|PyCFunctionObject|m_ml|PyCodeObject|co_name)\b'
    r'|"_[a-z][a-z_]*"|attr\("(?:lib|ctx)"\)|detail::[a-z_]+|NB_CALL\('
)


def names_in(dirs):
    found = {}
    for d in dirs:
        for path in sorted((SRC / d).rglob("*")):
            if path.suffix in (".cpp", ".hpp"):
                for name in PATTERN.findall(path.read_text()):
                    found.setdefault(name, set()).add(str(path.relative_to(SRC)))
    return found


def listed():
    rows = [line for line in LIST.read_text().splitlines() if line.startswith("| `")]
    return {re.match(r"\| `([^`]+)`", row).group(1) for row in rows}


def test_the_extension_uses_exactly_the_listed_private_names():
    found = names_in(EXTENSION_DIRS)
    unlisted = {n: sorted(w) for n, w in found.items() if n not in listed()}
    assert not unlisted, f"private names used but not in {LIST.name}: {unlisted}"
    stale = listed() - set(found)
    assert not stale, f"{LIST.name} lists names no source uses any more (take them out): {sorted(stale)}"


def test_the_core_and_its_binding_use_none():
    assert names_in(CLEAN_DIRS) == {}


# Symbols the compiler writes for the interpreter's public macros (Py_None, Py_DECREF, ...).
MACRO_SYMBOLS = {"_Py_Dealloc", "_Py_NoneStruct", "_Py_TrueStruct", "_Py_FalseStruct", "_Py_NotImplementedStruct",
                 "_Py_EllipsisObject", "_Py_IncRef", "_Py_DecRef"}


def undefined_private(paths, dynamic=False):
    # A built module is stripped: only its dynamic symbol table is left (plain nm finds no symbols
    # there and says so on standard error, successfully).
    out = subprocess.run(["nm", *(["-D"] if dynamic else []), "--undefined-only", *map(str, paths)],
                         capture_output=True, text=True, check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.split() and line.split()[-1].startswith("_Py")}


def test_the_bindings_own_code_references_no_private_interpreter_symbol():
    objects = [*(ROOT / "build/src/binding/CMakeFiles/_native.dir").glob("*.o"),
               *(ROOT / "build/src/core/CMakeFiles/fdh_core.dir").glob("*.o")]
    # The module this interpreter imports (a free-threaded build's may lie beside it).
    found = importlib.util.find_spec("fdhost_can._native")
    if not objects or found is None or not found.origin.startswith(str(ROOT)):
        pytest.skip("no in-place build of fdhost_can._native in build/")
    native = Path(found.origin)
    abi3 = native.name.endswith(".abi3.so")
    nanobind = [a for a in (ROOT / "build/src").rglob("libnanobind*.a") if ("-abi3" in a.name) == abi3]
    assert undefined_private(objects) <= MACRO_SYMBOLS
    # The module as a whole: beyond those, only what nanobind's own library needs (for the stable
    # ABI, the underscored functions that belong to it: _PyObject_New and the like).
    allowed = MACRO_SYMBOLS | (undefined_private(nanobind) if nanobind else set())
    assert undefined_private([native], dynamic=True) <= allowed


BUS_AND_CLI = """
import io, json, sys, contextlib
import can
from fdhost_can.bus import FdhostBus
from fdhost_can.cli import main
with FdhostBus(channel="virtual:path", fd=True) as a, FdhostBus(channel="virtual:path", fd=True) as b:
    a.send(can.Message(arbitration_id=1, is_fd=True, data=b"x"))
    assert b.recv(1) is not None
    can.detect_available_configs("fdhost")
with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
    main(["list"])
    main(["send", "virtual:path", "123#11"])
    main(["dump", "virtual:path", "-T", "50"])
    main(["top", "virtual:path", "--once", "--interval", "0.05"])
print(json.dumps(sorted(sys.modules)))
"""


def test_the_bus_and_the_command_line_import_neither_pyusb_nor_the_extension():
    env = load_fdhost.env_for_child()
    env["FDHOST_VADAPTER_NAMESPACE"] = f"path-{uuid.uuid4().hex[:12]}"
    program = "import can.interfaces, can.util\n" \
              "can.interfaces.BACKENDS['fdhost'] = ('fdhost_can.bus', 'FdhostBus')\n" \
              "can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {'fdhost'}\n" + textwrap.dedent(BUS_AND_CLI)
    r = subprocess.run([sys.executable, "-c", program], cwd=ROOT, capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr
    import json

    modules = set(json.loads(r.stdout))
    assert not {m for m in modules if m == "usb" or m.startswith("usb.")}
    assert not {"fdhost", "src.fdhost", "fdhost_can.virtual_pyusb", "fdhost_can._extension"} & modules


def test_the_bus_and_the_command_line_use_no_private_attribute_of_another_module():
    """Attributes with a leading underscore are read only from the package's own objects."""
    offenders = []
    for path in sorted((ROOT / "fdhost_can").rglob("*.py")):
        if path.name in ("virtual_pyusb.py", "_extension.py"):  # for pyusb users; not on the Bus's path
            continue
        tree = ast.parse(path.read_text())
        own = {"self", "cls", "_native", "_extension"}
        for node in ast.walk(tree):
            if isinstance(node, ast.Attribute) and node.attr.startswith("_") and not node.attr.startswith("__"):
                base = node.value
                if not (isinstance(base, ast.Name) and base.id in own):
                    offenders.append(f"{path.relative_to(ROOT)}:{node.lineno}: {ast.unparse(node)}")
            elif isinstance(node, ast.ImportFrom) and node.level == 0:
                offenders += [f"{path.relative_to(ROOT)}:{node.lineno}: from {node.module} import {a.name}"
                              for a in node.names if a.name.startswith("_")]
    assert not offenders, offenders
