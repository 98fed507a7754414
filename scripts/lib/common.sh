# Shared by the project's scripts: run from the repository root, install the
# Debian packages a bare machine lacks.

cd "$(dirname "${BASH_SOURCE[0]}")/../.." || exit 1

SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive

# The exit status of ./scripts/package when what a build for another
# architecture needs cannot be installed (automake's "skipped").
SKIPPED_STATUS=77

# Indexes the last apt_update could not fetch (empty when all came), and
# whether the lists were refreshed by this script already.
APT_INDEX_FAILED=""
APT_UPDATED=""

# apt_update: refreshes the package lists. A mirror in the middle of a sync
# serves an index that does not match its release file for a while, so a
# failed index is tried again a few times; after that the lists there are
# serve, and one line names what could not be fetched. apt-get says so in
# its messages, also where it exits with 0 (a source that cannot be reached).
apt_update() {
  local try out=""
  for try in 1 2 3; do
    [ "$try" -eq 1 ] || sleep 5
    out=$("${SUDO[@]}" apt-get update -qq </dev/null 2>&1) || true
    APT_INDEX_FAILED=$( (grep -oE "Failed to fetch [^ ]+" || true) <<<"$out" |
      cut -d' ' -f4 | sort -u | tr '\n' ' ')
    if [ -z "$APT_INDEX_FAILED" ] && grep -q "^E: " <<<"$out"; then
      APT_INDEX_FAILED="($(grep -m1 "^E: " <<<"$out" | cut -c4-))"
    fi
    [ -n "$APT_INDEX_FAILED" ] || break
  done
  APT_INDEX_FAILED=${APT_INDEX_FAILED% }
  APT_UPDATED=1
  [ -z "$APT_INDEX_FAILED" ] ||
    echo "warning: going on without the package index that did not download after 3 tries: $APT_INDEX_FAILED" >&2
  return 0
}

# missing_packages PKG...: prints the packages that are not installed yet.
missing_packages() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
      echo "$pkg"
  done
}

# ensure_packages PKG...: installs the packages that are not installed yet;
# fails where apt-get cannot. apt-get never removes a package on the way.
ensure_packages() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing ${missing[*]}"
  [ -n "$APT_UPDATED" ] || apt_update
  "${SUDO[@]}" apt-get install -y -qq --no-install-recommends --no-remove "${missing[@]}" </dev/null
}

# ensure_packages_or_skip STEP PKG...: as ensure_packages, for a step that
# the rest of the work can do without (a build for another architecture).
# Where the packages cannot be installed because an index did not download,
# says "skipped: STEP ..." with the reason and returns SKIPPED_STATUS; any
# other failure to install fails.
ensure_packages_or_skip() {
  local step=$1
  shift
  ensure_packages "$@" && return 0
  local status=$?
  [ -n "$APT_INDEX_FAILED" ] || return "$status"
  echo "skipped: $step: what they need cannot be installed while the package index $APT_INDEX_FAILED does not download" >&2
  return "$SKIPPED_STATUS"
}

BUILD_PACKAGES=(g++ cmake make pkg-config libcups2-dev libpng-dev libpappl-dev libavahi-client-dev libjpeg-dev)

# What the tests of the scheduler and of the printer application run (see
# ./scripts/test): GoogleTest, the scheduler and its converters, the
# barcode tools, ipptool, the browser, Avahi and its message bus, ip,
# systemd-analyze (systemd) and strace.
TEST_PACKAGES=(libgtest-dev iproute2 cups-daemon cups-client cups-filters ghostscript
  zint python3-zxing-cpp python3-pil zbar-tools imagemagick cups-ipp-utils
  chromium chromium-driver python3-selenium avahi-daemon dbus-daemon systemd strace)

# ensure_architecture ARCH: lets dpkg install ARCH's packages beside the
# machine's own, and refreshes the lists so that they know it.
ensure_architecture() {
  [ "$1" = "$(dpkg --print-architecture)" ] && return 0
  dpkg --print-foreign-architectures | grep -qx "$1" && return 0
  "${SUDO[@]}" dpkg --add-architecture "$1"
  apt_update
}
