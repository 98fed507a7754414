#!/usr/bin/env bash
# Installs into a scratch DESTDIR and checks what a packager gets: both
# filters in the scheduler's filter folder with mode 0755, every PPD under
# <prefix>/share/ppd/vellum, and every PPD passing cupstestppd against that
# tree (cupstestppd is in Debian's cups-client).
#   install_test.sh BUILD_DIR
set -euo pipefail
build=$1
dest=$(mktemp -d /tmp/vellum-install-XXXXXX)
trap 'rm -rf "$dest"' EXIT
DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null

serverbin=$(cups-config --serverbin)
failed=0
for filter in vellumfilter vellumfilter_03; do
  file=$dest$serverbin/filter/$filter
  mode=$(stat -c %a "$file" 2>/dev/null || echo missing)
  if [ "$mode" != 755 ]; then
    echo "FAIL $file: mode $mode, expected 755"
    failed=1
  fi
done
[ -x "$dest/usr/bin/vellumpreview" ] || { echo "FAIL no vellumpreview"; failed=1; }

ppds=("$dest"/usr/share/ppd/vellum/*.ppd)
[ ${#ppds[@]} -eq 5 ] || { echo "FAIL expected 5 PPDs, found ${#ppds[@]}"; failed=1; }
for ppd in "${ppds[@]}"; do
  if ! result=$(cupstestppd -R "$dest" "$ppd" 2>&1); then
    echo "FAIL $ppd:"
    echo "$result"
    failed=1
  fi
done
grep -q '^\*cupsFilter: "application/vnd.cups-raster 0 vellumfilter_03"' \
  "$dest/usr/share/ppd/vellum/vellum-zpl-203-03.ppd" || { echo "FAIL 03 PPD filter"; failed=1; }
[ $failed -eq 0 ] && echo "installed: 2 filters, vellumpreview, ${#ppds[@]} PPDs passing cupstestppd"
exit $failed
