#!/usr/bin/env bash
# The guest's initramfs: busybox, the modules for 9p shares and vhci-hcd, and init.sh as /init.
#   build_initramfs.sh KPKG OUT.cpio.gz     (KPKG: the unpacked kernel package)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
kpkg=$(cd "$1" && pwd)
out=$(readlink -f "$2")
py=${PY:-python3}
kver=$(ls "$kpkg/lib/modules" | head -n1)
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
mkdir -p "$stage"/{bin,dev,proc,sys,newroot,lib/modules}
cp /bin/busybox "$stage/bin/busybox"
"$py" "$here/module_closure.py" "$kpkg/lib/modules/$kver" "$stage/lib/modules" \
  virtio_pci 9pnet_virtio 9p vhci-hcd >"$stage/modules.load"
cp "$here/init.sh" "$stage/init"
chmod 755 "$stage/init" "$stage/bin/busybox"
(cd "$stage" && find . | "$stage/bin/busybox" cpio -o -H newc 2>/dev/null | gzip -1 >"$out")
