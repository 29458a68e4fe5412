#!/bin/busybox sh
# PID 1 of the rig's guest. Loads the modules, mounts the host's root read-only over 9p as the guest's
# root, lays tmpfs over /tmp, /run and /dev/shm, mounts the read-write shares named in RIG_MOUNTS
# (tag:/path,...) at their host paths, then runs RIG_SCRIPT, prints RIG_EXIT=<status> and powers off
# (PID 1 must not exit: that would panic the kernel).
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /modules.load); do insmod "/lib/modules/$m" || echo "rig-init: insmod $m failed"; done
ip link set lo up
O="trans=virtio,version=9p2000.L,msize=262144"
if ! mount -t 9p -o "$O,ro,cache=loose" hostroot /newroot; then
  echo "rig-init: cannot mount the host's root"; echo "RIG_EXIT=125"; echo o >/proc/sysrq-trigger; sleep 10
fi
mount -t tmpfs -o mode=1777 tmpfs /newroot/tmp
mount -t tmpfs -o mode=755 tmpfs /newroot/run
mkdir -p /newroot/run/lock
IFS=,
for spec in $RIG_MOUNTS; do
  tag=${spec%%:*}; path=${spec#*:}
  case $path in *:ro) path=${path%:ro}; o="$O,ro";; *) o=$O;; esac
  mkdir -p "/newroot$path" 2>/dev/null
  mount -t 9p -o "$o" "$tag" "/newroot$path" || echo "rig-init: cannot mount $tag at $path"
done
unset IFS
mount --move /dev /newroot/dev
mount --move /proc /newroot/proc
mount --move /sys /newroot/sys
mkdir -p /newroot/dev/pts /newroot/dev/shm
mount -t devpts devpts /newroot/dev/pts
mount -t tmpfs -o mode=1777 tmpfs /newroot/dev/shm
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root
exec switch_root /newroot /bin/sh -c '
  /bin/bash "$RIG_SCRIPT" </dev/null; rc=$?
  echo "RIG_EXIT=$rc"
  echo o > /proc/sysrq-trigger; sleep 10'
