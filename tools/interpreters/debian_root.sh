# Sourced by the interpreter scripts: minimal Debian roots made with debootstrap and kept in a cache
# outside the repository, and commands run in a fresh copy of one (an overlay over the kept root, so
# every run starts from the bare system with only python3, as on a fresh machine) on a clean
# checkout of this repository's HEAD.
#
# $FDHOST_INTERP_CACHE (default /var/cache/fdhost-interp) holds:
#   roots/SUITE      the bare root (python3 and ca-certificates added), remade when older than
#                    $FDHOST_ROOT_MAX_DAYS days (default 7): sid moves on
#   runs/NAME/upper  what the last run NAME changed in its root (the checkout, .venv, build/);
#                    kept for a look afterwards, replaced by the next run of that name
#   apt/SUITE, pip   downloaded packages, shared by the runs (nothing is installed from them by itself)
# Needs root: debootstrap, mounts and chroot; everything is mounted in a mount namespace of its own
# and goes away with the run.

FDHOST_INTERP_CACHE="${FDHOST_INTERP_CACHE:-/var/cache/fdhost-interp}"
DEBIAN_MIRROR="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
REPO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$REPO_ROOT/tools/apt_install.sh"

# debian_root SUITE: the path of the bare root of SUITE, made (or remade) first when needed.
debian_root() {
  local suite=$1 root="$FDHOST_INTERP_CACHE/roots/$1" max_days="${FDHOST_ROOT_MAX_DAYS:-7}"
  if [ -f "$root/.made" ] && [ -z "$(find "$root/.made" -mtime +"$max_days")" ]; then
    echo "$root"
    return
  fi
  [ "$(id -u)" -eq 0 ] || { echo "making a Debian root needs root" >&2; return 1; }
  command -v debootstrap >/dev/null || apt_install "Debian roots for other interpreters" debootstrap >&2
  local fresh="$root.new" start=$SECONDS
  rm -rf "$fresh"
  mkdir -p "$FDHOST_INTERP_CACHE/roots"
  echo "--- debootstrap $suite into $root ---" >&2
  if ! debootstrap --variant=minbase --include=python3,ca-certificates "$suite" "$fresh" "$DEBIAN_MIRROR" \
       >"$fresh.log" 2>&1; then
    tail -20 "$fresh.log" >&2
    return 1
  fi
  # The packages debootstrap fetched are of no use once installed.
  rm -rf "$fresh"/var/cache/apt/archives/*.deb
  # A mirror may serve a snapshot whose sid Release has passed its Valid-Until date (a week after it
  # was made); debootstrap does not mind, apt-get update would refuse the whole suite.
  echo 'Acquire::Check-Valid-Until "false";' >"$fresh/etc/apt/apt.conf.d/50mirror-snapshot"
  date -u +%FT%TZ >"$fresh/.made"
  rm -rf "$root" "$fresh.log"
  mv "$fresh" "$root"
  echo "    made in $((SECONDS - start)) s" >&2
  echo "$root"
}

# in_debian_root SUITE NAME COMMAND: runs the shell command COMMAND as root in a fresh copy of SUITE's
# root, in /root/fdhost, a clean clone of this repository's HEAD, with a plain environment (no
# CI=true). Its exit status is the command's. The copy's changes stay in runs/NAME/upper.
in_debian_root() {
  local suite=$1 name=$2 command=$3 run
  debian_root "$suite" >/dev/null || return 1
  run="$FDHOST_INTERP_CACHE/runs/$name"
  rm -rf "$run"
  # The clone goes straight into the upper layer: the overlay shows it at /root/fdhost.
  mkdir -p "$run/upper/root"
  git clone -q --no-hardlinks "$REPO_ROOT" "$run/upper/root/fdhost"
  echo "--- $suite: $(git -C "$run/upper/root/fdhost" log -1 --format='%h %s' | cut -c1-80) ---"
  in_debian_run "$suite" "$name" "$command"
}

# in_debian_run SUITE NAME COMMAND: runs COMMAND as in_debian_root does, in the copy the last run NAME
# left (to look into a failure: `source tools/interpreters/debian_root.sh; in_debian_run sid
# sid-suite 'bash'`).
in_debian_run() {
  local suite=$1 name=$2 command=$3 lower run
  lower=$(debian_root "$suite") || return 1
  run="$FDHOST_INTERP_CACHE/runs/$name"
  [ -d "$run/upper/root/fdhost" ] || { echo "no run $name in $FDHOST_INTERP_CACHE/runs" >&2; return 1; }
  mkdir -p "$run/work" "$run/root" "$FDHOST_INTERP_CACHE/apt/$suite/partial" "$FDHOST_INTERP_CACHE/pip"
  # A new mount and process namespace: the mounts and every process of the run end with it.
  unshare --mount --propagation private --pid --fork --kill-child \
    bash -euo pipefail -s "$lower" "$run" "$FDHOST_INTERP_CACHE" "$suite" "$command" <<'EOF'
lower=$1 run=$2 cache=$3 suite=$4 command=$5
r=$run/root
mount -t overlay overlay -o "lowerdir=$lower,upperdir=$run/upper,workdir=$run/work" "$r"
mount -t proc proc "$r/proc"
mount --rbind /sys "$r/sys"
mount --rbind /dev "$r/dev"
mount -t tmpfs -o mode=1777 tmpfs "$r/dev/shm"
mount -t tmpfs tmpfs "$r/run"
mount -t tmpfs -o mode=1777 tmpfs "$r/tmp"
mount --bind "$cache/apt/$suite" "$r/var/cache/apt/archives"
mkdir -p "$r/root/.cache/pip"
mount --bind "$cache/pip" "$r/root/.cache/pip"
# The network as this machine reaches it: its resolver and the certificates it trusts (a proxy's own
# authority, say).
cp -L /etc/resolv.conf "$r/etc/resolv.conf"
cp -L /etc/ssl/certs/ca-certificates.crt "$r/etc/ssl/certs/ca-certificates.crt"
exec chroot "$r" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  /bin/bash -c "cd /root/fdhost && $command"
EOF
}
