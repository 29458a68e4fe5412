"""``fdhost-can udev``: the udev rule that lets the logged-in user open the adapter without root."""
from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

from .common import PROG, CliError, StopRequest
from ..usbids import PRODUCT_ID, VENDOR_ID

NAME = "udev"
HELP = "print (or --install) the udev rule for using the adapter without root"
DESCRIPTION = """\
Prints the udev rule that gives the logged-in user access to the adapter (and, on systems without
a seat manager, members of the group plugdev). Without it, only root can open the adapter on
Linux. --install writes it to /etc/udev/rules.d/ and reloads udev (run as root)."""

RULES_DIR = Path("/etc/udev/rules.d")
# Sorted before 73-seat-late.rules, which turns the uaccess tag into an ACL for the user at the seat.
RULE_FILE = "70-fdhost.rules"


def rule_text() -> str:
    return (
        "# fdhost USB-to-CAN-FD adapter: the logged-in user may open it without root (uaccess);\n"
        "# where no seat manager grants that, members of the group plugdev may.\n"
        f'SUBSYSTEM=="usb", ATTR{{idVendor}}=="{VENDOR_ID:04x}", ATTR{{idProduct}}=="{PRODUCT_ID:04x}", '
        'TAG+="uaccess", MODE="0660", GROUP="plugdev"\n'
    )


def reload_commands() -> list[list[str]]:
    """Rules are read again, then applied to adapters already plugged in (only to them)."""
    return [
        ["udevadm", "control", "--reload-rules"],
        ["udevadm", "trigger", "--subsystem-match=usb",
         f"--attr-match=idVendor={VENDOR_ID:04x}", f"--attr-match=idProduct={PRODUCT_ID:04x}"],
    ]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--install", action="store_true",
                        help=f"write the rule to {RULES_DIR / RULE_FILE} and reload udev (needs root)")


def run(args: argparse.Namespace, stop: StopRequest) -> int:
    rule = rule_text()
    if not args.install:
        sys.stdout.write(rule)
        return 0
    path = install(rule)
    print(f"wrote {path} and reloaded udev; an adapter that stays inaccessible needs replugging")
    return 0


def install(rule: str) -> Path:
    if not sys.platform.startswith("linux"):
        raise CliError("udev rules exist on Linux only")
    if os.geteuid() != 0:
        raise CliError(f"--install writes to {RULES_DIR} and needs root: run `sudo {PROG} udev --install`")
    path = RULES_DIR / RULE_FILE
    try:
        path.write_text(rule, encoding="ascii")
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror}") from e
    for command in reload_commands():
        try:
            done = subprocess.run(command, capture_output=True, text=True, check=False)
        except FileNotFoundError:
            raise CliError(f"wrote {path}, but udevadm is not installed here; reload udev's rules yourself") from None
        if done.returncode != 0:
            reason = done.stderr.strip().splitlines()[-1] if done.stderr.strip() else f"exit status {done.returncode}"
            raise CliError(f"wrote {path}, but `{' '.join(command)}` failed: {reason}")
    return path
