"""What a program's author sees without reading the source: the docstrings help() shows, the type stub
fdhost.pyi the build generates beside the module, and mypy --strict over the examples and the fdhost_can
package with it."""
import ast
import os
import re
import textwrap
from pathlib import Path

import pytest

from load_fdhost import ROOT, load

fd = load()
STUB = Path(fd.__file__).with_name("fdhost.pyi")
RECORDS = ["can_head_type", "can_value_type", "can_tx_type", "setup_baudrate_t", "can_ack_type"]


def _public_methods(cls):
    return sorted(n for n, v in vars(cls).items() if callable(v) and (not n.startswith("_") or n in (
        "__init__", "__enter__", "__exit__")))


def _doc_text(obj):
    """The docstring without the signature line nanobind puts first."""
    doc = obj.__doc__ or ""
    first, _, rest = doc.partition("\n")
    return rest.strip() if first.startswith(obj.__name__ + "(") else doc.strip()


@pytest.mark.parametrize("name", _public_methods(fd.fdhost))
def test_every_fdhost_method_explains_itself(name):
    assert len(_doc_text(getattr(fd.fdhost, name))) > 30, f"fdhost.{name} has no docstring"


@pytest.mark.parametrize("obj, words", [
    (fd, ["fdhost(nom_baud, dat_baud, sn)", "SIGINT", "running"]),
    (fd.fdhost, ["close()"]),
    (fd.fdhost.__init__, ["bit/s", "SystemExit"]),
    (fd.fdhost.USB_CMD_SETUP_BUARD, ["80 MHz", "bit/s", "SystemExit"]),
    (fd.fdhost.fdcanFrameSend, ["64", "1000000 bit/s"]),
    (fd.can_head_type, ["time_stamp", "microseconds"]),
    (fd.signal_handler, ["running"]),
])
def test_docstrings_give_units_and_errors(obj, words):
    doc = obj.__doc__ or ""
    assert all(w in doc for w in words), [w for w in words if w not in doc]


@pytest.mark.parametrize("record", RECORDS)
def test_record_classes_document_fields_and_codecs(record):
    cls = getattr(fd, record)
    fields = [n for n, v in vars(cls).items() if isinstance(v, property)]
    assert all(f in cls.__doc__ for f in fields), [f for f in fields if f not in cls.__doc__]
    assert "ValueError" in _doc_text(cls.from_bytes)
    assert ("bytes" if record == "setup_baudrate_t" else "bytearray") in _doc_text(cls.to_bytes)


def test_signatures_keep_their_specified_argument_names():
    # Docstrings are additive: the text signature nanobind generates still leads each one.
    assert fd.fdhost.fdcanFrameSend.__doc__.startswith("fdcanFrameSend(self, data")
    assert fd.fdhost.__init__.__doc__.startswith("__init__(self, nom_baud")


needs_stub = pytest.mark.skipif(not STUB.exists(), reason=f"no stub generated beside {fd.__file__}")


def _stub_names(tree):
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, ast.Assign):
            names.update((t.id, node) for t in node.targets)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update((a.asname, node) for a in node.names if a.asname)
    return names


@needs_stub
def test_stub_names_everything_the_module_and_class_offer():
    tree = ast.parse(STUB.read_text())
    module_names = _stub_names(tree)
    missing = [n for n in vars(fd) if not n.startswith("_") and n not in module_names]
    assert not missing, f"fdhost.pyi lacks {missing}"
    in_class = _stub_names(module_names["fdhost"])
    assert not [n for n in _public_methods(fd.fdhost) if n not in in_class]


@needs_stub
def test_stub_types_what_the_binding_leaves_as_object():
    # The pattern file must keep up with the binding: an `object` left in a specified method or a
    # record field means a pattern no longer matches.
    text = STUB.read_text()
    tree = ast.parse(text)
    names = _stub_names(tree)
    untyped = []
    for cls in ["fdhost", *RECORDS]:
        for node in names[cls].body:
            if isinstance(node, ast.FunctionDef) and node.name != "__init__":
                untyped += [f"{cls}.{node.name}" for a in node.args.args[1:] if ast.unparse(a.annotation) == "object"]
                if ast.unparse(node.returns) == "object":
                    untyped.append(f"{cls}.{node.name} ->")
            elif isinstance(node, ast.AnnAssign) and ast.unparse(node.annotation) == "object":
                untyped.append(f"{cls}.{node.target.id}")
    assert not untyped
    assert not re.search(r"^\s*\\", text, re.M), "a pattern line the generator did not understand"


def _mypy():
    try:
        from mypy import api
    except ImportError:
        if os.environ.get("CI"):
            raise
        pytest.skip("mypy is not installed")
    return api


@needs_stub
def test_mypy_strict_passes_on_the_examples_and_the_package_and_catches_misuse(tmp_path, monkeypatch):
    api = _mypy()
    monkeypatch.chdir(ROOT)
    misuse = tmp_path / "misuse.py"
    misuse.write_text(textwrap.dedent("""\
        from src import fdhost as fh

        def check(dev: fh.fdhost) -> None:
            dev.fdcanFrameSend("text", 0x123)
            status: str = dev.usb_open("SERIAL")
            dev.setFrameCallback(lambda frame: frame.head.nothing)
            fh.can_head_type().time_stamp + 1
            fh.setup_baudrate_t().to_bytes().hex()
    """))
    out, err, status = api.run(["--strict", "--cache-dir", str(tmp_path / "cache"), "examples/", "fdhost_can/", str(misuse)])
    lines = [line for line in out.splitlines() if ": error:" in line]
    assert not [line for line in lines if not line.startswith(str(misuse))], out
    assert sorted(int(line.split(":")[1]) for line in lines) == [4, 5, 6], out
