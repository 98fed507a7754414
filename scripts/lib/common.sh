# Shared by the project's scripts: run from the repository root, install the
# Debian packages a bare machine lacks.

cd "$(dirname "${BASH_SOURCE[0]}")/../.." || exit 1

# ensure_packages PKG...: installs the packages that are not installed yet.
ensure_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
}

BUILD_PACKAGES=(g++ cmake make pkg-config libcups2-dev libpng-dev libpappl-dev libavahi-client-dev libjpeg-dev)

# ensure_architecture ARCH: lets dpkg install ARCH's packages beside the
# machine's own (the next ensure_packages updates the lists).
ensure_architecture() {
  [ "$1" = "$(dpkg --print-architecture)" ] && return 0
  dpkg --print-foreign-architectures | grep -qx "$1" && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  "${sudo[@]}" dpkg --add-architecture "$1"
  # The lists must know the new architecture before anything is looked up.
  "${sudo[@]}" apt-get update -qq
}
