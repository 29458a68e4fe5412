"""Copies kernel modules and everything they depend on out of an unpacked kernel package, and prints
their file names in the order they must be loaded. The package has no modules.dep (depmod runs at
installation), so each module's own `depends=` entry is read.

    python module_closure.py MODULES_DIR DEST MODULE...
"""
import os
import re
import shutil
import sys


def norm(name: str) -> str:
    return name.replace("-", "_")


def main(root: str, dest: str, wanted: list[str]) -> None:
    files = {}
    for folder, _, names in os.walk(os.path.join(root, "kernel")):
        for n in names:
            if n.endswith(".ko"):
                files[norm(n[:-3])] = os.path.join(folder, n)
    with open(os.path.join(root, "modules.builtin")) as f:
        builtin = {norm(os.path.basename(line.strip())[:-3]) for line in f if line.strip()}
    order, seen = [], set()

    def visit(name: str) -> None:
        name = norm(name)
        if name in seen or name in builtin:
            return
        seen.add(name)
        if name not in files:
            raise SystemExit(f"module {name} is not in {root}")
        with open(files[name], "rb") as f:
            found = re.search(rb"(?:^|\0)depends=([^\0]*)\0", f.read())
        for dep in found.group(1).decode().split(",") if found and found.group(1) else []:
            visit(dep)
        order.append(name)

    for w in wanted:
        visit(w)
    for n in order:
        shutil.copy(files[n], dest)
        print(os.path.basename(files[n]))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3:])
