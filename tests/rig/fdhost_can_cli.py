"""`fdhost-can` from the source tree: python-can learns of the interface as the installed entry point
would tell it, then the command line runs. Importing it only registers the interface.

    python tests/rig/fdhost_can_cli.py list
"""
import sys

import can
import can.util

can.interfaces.BACKENDS["fdhost"] = ("fdhost_can.bus", "FdhostBus")
can.util.VALID_INTERFACES = can.util.VALID_INTERFACES | {"fdhost"}

if __name__ == "__main__":
    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parents[2]))
    from fdhost_can.cli import main

    sys.exit(main())
