#!/usr/bin/env bash
# Boots the rig's guest under QEMU and runs one script in it as root; exits with the script's status.
#   run_guest.sh WORK SCRIPT [tag:/host/dir[:ro] ...]
# The guest's root is the host's root, read-only; each tag:/dir is shared at the same path (read-write
# unless :ro). No network card: USB/IP runs over the guest's own loopback.
# Environment: RIG_TIMEOUT (seconds, default 1500), RIG_MEM (MiB, default 1536), RIG_ENV (more
# VAR=value words for the guest's command line), RIG_ACCEL (tcg, or kvm where real VT-x/AMD-V exists).
# Status 124: the guest did not finish in time and was stopped; 125: it ended without a status.
set -uo pipefail
work=$1 script=$2
shift 2
accel=${RIG_ACCEL:-tcg}
cpu=max
[ "$accel" = kvm ] && cpu=host
shares=() mounts=""
for spec in "$@"; do
  tag=${spec%%:*} rest=${spec#*:}
  dir=${rest%:ro} ro=
  [ "$dir" != "$rest" ] && ro=",readonly=on"
  shares+=(-virtfs "local,path=$dir,mount_tag=$tag,security_model=none,multidevs=remap$ro")
  mounts="${mounts:+$mounts,}$tag:$dir${ro:+:ro}"
done
console=$work/console.log
# -smp 1: under emulation a second virtual CPU makes everything slower on a 2-core host.
timeout -k 10 "${RIG_TIMEOUT:-1500}" qemu-system-x86_64 \
  -accel "$accel" -cpu "$cpu" -M pc -smp 1 -m "${RIG_MEM:-1536}" \
  -nodefaults -no-user-config -display none -monitor none -serial stdio -no-reboot -nic none \
  -kernel "$work/vmlinux" -initrd "$work/initramfs.cpio.gz" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  "${shares[@]}" \
  -append "console=ttyS0 loglevel=4 panic=-1 mitigations=off RIG_SCRIPT=$script RIG_MOUNTS=$mounts ${RIG_ENV:-}" \
  </dev/null 2>&1 | tr -d '\r' >"$console"
status=("${PIPESTATUS[@]}")
if [ "${status[0]}" = 124 ] || [ "${status[0]}" = 137 ]; then
  echo "usb-rig: the guest did not finish within ${RIG_TIMEOUT:-1500} s and was stopped" >&2
  exit 124
fi
# QEMU itself exits 0 after a guest power-off whatever the script did: the status is on the console.
rc=$(sed -n 's/^RIG_EXIT=\([0-9]*\).*/\1/p' "$console" | tail -n1)
if [ -z "$rc" ]; then
  echo "usb-rig: the guest ended without a status (QEMU exit ${status[0]}); its console:" >&2
  tail -n 40 "$console" >&2
  exit 125
fi
exit "$rc"
