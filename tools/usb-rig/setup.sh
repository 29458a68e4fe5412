#!/usr/bin/env bash
# Prepares the real-USB rig in WORK (default build/usb-rig): the Debian packages it needs, Debian's own
# kernel unpacked there (not installed: the host's /boot is not touched), the guest's initramfs, and
# python-can's own test suite from its source release (run in the guest, never kept in the repository).
#   tools/usb-rig/setup.sh [WORK]
# A second run reuses what is there and only rebuilds the initramfs (about a second).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=${1:-$root/build/usb-rig}
mkdir -p "$work"
work=$(cd "$work" && pwd)
source "$root/tools/apt_install.sh"
py=${PY:-$root/.venv/bin/python}
[ -x "$py" ] || py=python3

fail() { echo "usb-rig: $*" >&2; exit 1; }

# What the rig runs: QEMU (software emulation), usbip (attaches the devices through vhci-hcd),
# busybox (the initramfs), udev (libusb learns about unplugs from udevd's events).
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
command -v usbip >/dev/null || need+=(usbip)
[ -x /bin/busybox ] && /bin/busybox --list 2>/dev/null | grep -qx switch_root || need+=(busybox-static)
[ -x /lib/systemd/systemd-udevd ] || need+=(udev)
if [ ${#need[@]} -gt 0 ]; then
  apt_install "the real-USB rig: guest, USB/IP, initramfs, udev" "${need[@]}" ||
    fail "cannot install ${need[*]} with apt-get; install them and run again"
fi
for p in qemu-system-x86_64 usbip; do command -v "$p" >/dev/null || fail "$p is still missing after apt-get"; done
[ -x /lib/systemd/systemd-udevd ] || fail "systemd-udevd is still missing after apt-get (package udev)"

# The kernel: the package linux-image-amd64 depends on, downloaded and partly unpacked.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/{print $2; exit}')
[ -n "$kpkg" ] || fail "apt-cache knows no linux-image-amd64 (is this Debian, with package lists?)"
if [ ! -s "$work/vmlinux" ] || [ "$(cat "$work/kernel.pkg" 2>/dev/null)" != "$kpkg" ]; then
  echo "--- usb-rig: kernel $kpkg ---"
  rm -rf "$work/kpkg" "$work/vmlinux" "$work"/linux-image-*.deb
  (cd "$work" && apt-get download -q "$kpkg" >/dev/null 2>"$work/download.log") ||
    { cat "$work/download.log" >&2; fail "cannot download $kpkg"; }
  mkdir -p "$work/kpkg"
  # Only the kernel and the module folders the initramfs draws from.
  dpkg-deb --fsys-tarfile "$work"/linux-image-*.deb | tar -x -C "$work/kpkg" --wildcards \
    './boot/*' './lib/modules/*/modules.builtin' './lib/modules/*/kernel/drivers/usb/*' \
    './lib/modules/*/kernel/drivers/virtio/*' './lib/modules/*/kernel/net/9p/*' \
    './lib/modules/*/kernel/fs/9p/*' './lib/modules/*/kernel/fs/netfs/*' './lib/modules/*/kernel/fs/fscache/*' ||
    fail "cannot unpack $kpkg"
  rm -f "$work"/linux-image-*.deb "$work/download.log"
  # Booted as an ELF by PVH: decompressing the kernel under emulation costs about 10 s a boot.
  "$py" "$here/extract_vmlinux.py" "$work"/kpkg/boot/vmlinuz-* "$work/vmlinux.tmp" ||
    fail "no kernel image in $kpkg"
  mv "$work/vmlinux.tmp" "$work/vmlinux"
  echo "$kpkg" >"$work/kernel.pkg"
fi
bash "$here/build_initramfs.sh" "$work/kpkg" "$work/initramfs.cpio.gz"

# python-can's own tests, from its source release.
pycan=$("$py" -c 'import can; print(can.__version__)' 2>/dev/null) || fail "python-can is not installed in $py"
if [ ! -f "$work/python-can-$pycan/test/back2back_test.py" ]; then
  echo "--- usb-rig: python-can $pycan test suite ---"
  rm -rf "$work"/python-can-* "$work/sdist"
  "$py" -m pip download -q --no-deps --no-binary :all: "python-can==$pycan" -d "$work/sdist" ||
    fail "cannot download python-can $pycan's source release"
  tar -xzf "$work"/sdist/python*can-"$pycan".tar.gz -C "$work" ||
    fail "cannot unpack python-can $pycan's source release"
  [ -d "$work/python-can-$pycan" ] || mv "$work"/python_can-"$pycan" "$work/python-can-$pycan"
  rm -rf "$work/sdist"
fi
ln -sfn "python-can-$pycan/test" "$work/python-can-tests"
