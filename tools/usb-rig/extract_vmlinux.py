"""Writes the ELF kernel held xz-compressed inside a bzImage (Debian's vmlinuz), so QEMU can boot it
directly (PVH) instead of decompressing it under emulation on every boot.

    python extract_vmlinux.py VMLINUZ OUT
"""
import lzma
import sys

XZ_MAGIC = b"\xfd7zXZ\x00"


def elf_payload(image: bytes) -> bytes:
    pos = image.find(XZ_MAGIC)
    while pos >= 0:
        try:
            out = lzma.LZMADecompressor().decompress(image[pos:])
        except lzma.LZMAError:
            out = b""
        if out.startswith(b"\x7fELF"):
            return out
        pos = image.find(XZ_MAGIC, pos + 1)
    raise SystemExit(f"no xz-compressed ELF kernel in {sys.argv[1]}")


if __name__ == "__main__":
    with open(sys.argv[1], "rb") as f:
        payload = elf_payload(f.read())
    with open(sys.argv[2], "wb") as f:
        f.write(payload)
