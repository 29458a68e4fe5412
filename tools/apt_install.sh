# Sourced by the set-up scripts: installs system packages with apt-get, only the ones asked for
# (the callers test for what is missing first), refreshing the package lists once per run.

apt_lists_fresh=

# apt_install WHY PACKAGE...
apt_install() {
  local why=$1; shift
  [ $# -gt 0 ] || return 0
  echo "--- apt-get install $* ($why) ---"
  if ! command -v apt-get >/dev/null; then
    echo "missing: $* ($why); no apt-get here, install them with this system's package manager" >&2
    return 1
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "installing $* needs root (or sudo)" >&2; return 1; }
    sudo=(sudo)
  fi
  if [ -z "$apt_lists_fresh" ]; then
    "${sudo[@]}" apt-get update -qq
    apt_lists_fresh=1
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

# True when the C++ compiler finds HEADER on its default include path.
have_header() {
  echo "#include <$1>" | "${CXX:-c++}" -x c++ -E -o /dev/null - 2>/dev/null
}
