#!/usr/bin/env bash
# Runs inside the rig's guest, as root: starts udevd (libusb hears of unplugs through it), makes the
# udev rules folder writable (the root file system is the host's, read-only), then runs the pytest
# selection the host wrote to $RIG_OUT/args, with its output in $RIG_OUT/pytest.log.
set -u
out=$RIG_OUT
export HOME=/tmp/home FDHOST_RIG=1 PYTHONDONTWRITEBYTECODE=1 PYTHONUNBUFFERED=1
mkdir -p "$HOME"
up() { cut -d' ' -f1 /proc/uptime; }
# A folder on the way to PATH that others may not enter (root's home, say) is replaced, in the guest
# only, by one they may enter holding just that way, so a test can run the project's interpreter as
# a user who is not root.
open_way_to() {
  local path=$1 dir=/ part rest
  rest=${path#/}
  while [ -n "$rest" ]; do
    part=${rest%%/*}
    [ "$part" = "$rest" ] && rest= || rest=${rest#*/}
    if [ -n "$(find "$dir" -maxdepth 0 ! -perm -o+x)" ] && [ "$dir" != / ]; then
      local hidden=/tmp/hidden$dir
      mkdir -p "$hidden" && mount --bind "$dir" "$hidden" &&
        mount -t tmpfs -o mode=755 tmpfs "$dir" && mkdir -p "$dir/$part" &&
        mount --bind "$hidden/$part" "$dir/$part" && echo "guest: opened the way to $path at $dir"
      return
    fi
    dir=${dir%/}/$part
  done
}
{
  echo "guest: $(uname -r), user space at uptime $(up) s"
  mkdir -p /tmp/rules.d
  cp -a /etc/udev/rules.d/. /tmp/rules.d/ 2>/dev/null
  mount -t tmpfs -o mode=755 tmpfs /etc/udev/rules.d && cp -a /tmp/rules.d/. /etc/udev/rules.d/
  open_way_to "$("$RIG_ROOT/.venv/bin/python" -c 'import sys; print(sys.base_prefix)')"
  open_way_to "$RIG_ROOT"
  /lib/systemd/systemd-udevd --daemon && udevadm trigger --action=add && udevadm settle -t 30 &&
    echo "guest: udevd running at uptime $(up) s"
} >"$out/guest.log" 2>&1
cd "$RIG_ROOT" || exit 2
mapfile -t args <"$out/args"
.venv/bin/python -m pytest -p no:cacheprovider "${args[@]}" >"$out/pytest.log" 2>&1
rc=$?
echo "guest: pytest exit $rc at uptime $(up) s" >>"$out/guest.log"
dmesg >"$out/dmesg.log" 2>&1
exit $rc
