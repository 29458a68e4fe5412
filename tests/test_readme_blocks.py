"""The README blocks tools/wheel_check.sh runs: found by their marker, and refused rather than guessed
when an edit separated a marker from its block."""
import importlib.util
import textwrap

import pytest

from load_fdhost import ROOT

_spec = importlib.util.spec_from_file_location("readme_block", ROOT / "tools" / "readme_block.py")
readme_block = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(readme_block)

M = readme_block.marker("x")


@pytest.mark.parametrize("text, body", [
    (f"{M}\n```sh\nfdhost-can list\n```\n", "fdhost-can list\n"),
    # Blank lines between marker and fence; a longer fence holds a shorter one; the next block after
    # this one is not taken.
    (f"{M}\n\n````\n```\ninside\n````\n```\nnext\n```\n", "```\ninside\n"),
    # A block in a list item: its indentation goes, deeper indentation stays.
    (f"- item\n  {M}\n  ```python\n  if x:\n      y()\n  ```\n", "if x:\n    y()\n"),
    (f"{M}\n~~~\nempty lines\n\nkept\n~~~\n", "empty lines\n\nkept\n"),
])
def test_block_after_its_marker(text, body):
    assert readme_block.block(text, "x") == body


@pytest.mark.parametrize("text, reason", [
    ("```\nno marker\n```\n", "0 lines"),
    (f"{M}\n```\na\n```\n{M}\n```\nb\n```\n", "2 lines"),
    (f"{M}\ntext in between\n```\na\n```\n", "not followed by a fenced code block"),
    (f"{M}\n", "not followed by a fenced code block"),
    (f"{M}\n```\nnever closed\n", "never closed"),
    # Another marker's name does not count.
    (readme_block.marker("xy") + "\n```\na\n```\n", "0 lines"),
])
def test_misplaced_markers_are_refused(text, reason):
    with pytest.raises(LookupError, match=reason):
        readme_block.block(text, "x")


def test_the_readme_has_every_block_the_wheel_check_runs():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    commands = readme_block.block(readme, "two-terminals").splitlines()
    assert [line.split()[:2] for line in commands] == [["fdhost-can", "dump"], ["fdhost-can", "send"]]
    assert commands[0].split()[2] == commands[1].split()[2], "dump and send on different channels"
    assert len(readme_block.block(readme, "two-terminals-output").splitlines()) == 3  # dump -n 3
    compile(readme_block.block(readme, "python-can"), "README python-can example", "exec")


def test_command_line_use(tmp_path, capsys):
    doc = tmp_path / "doc.md"
    doc.write_text(textwrap.dedent(f"""\
        {M}
        ```
        body
        ```
    """))
    assert readme_block.main([str(doc), "x"]) == 0
    assert capsys.readouterr().out == "body\n"
    assert readme_block.main([str(doc), "y"]) == 1
    assert "0 lines" in capsys.readouterr().err
