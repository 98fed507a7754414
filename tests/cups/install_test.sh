#!/usr/bin/env bash
# Installs into a scratch DESTDIR and checks what a packager gets: both
# filters in the scheduler's filter folder with mode 0755, every PPD under
# <prefix>/share/ppd/vellum, every PPD passing cupstestppd against that
# tree (cupstestppd is in Debian's cups-client) with its filter lines, and
# the CUPS types and conversions of printer programs in
# <prefix>/share/cups/mime.
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
# Every filter line is a cupsFilter2 line (CUPS ignores the others then):
# raster through the PPD's filter, the printer's own programs as they are.
for check in "vellum-zpl-203-03.ppd|application/vnd.cups-raster application/vnd.cups-raster 0 vellumfilter_03" \
             "vellum-zpl-203-03.ppd|application/vnd.zebra-zpl application/vnd.zebra-zpl 0 -" \
             "vellum-tspl-300.ppd|application/vnd.cups-raster application/vnd.cups-raster 0 vellumfilter" \
             "vellum-tspl-300.ppd|application/x-tspl application/x-tspl 0 -"; do
  ppd=$dest/usr/share/ppd/vellum/${check%%|*}
  grep -qxF "*cupsFilter2: \"${check#*|}\"" "$ppd" || { echo "FAIL ${check%%|*}: no filter line ${check#*|}"; failed=1; }
  if grep -q '^\*cupsFilter:' "$ppd"; then echo "FAIL ${check%%|*}: a cupsFilter line"; failed=1; fi
done
for file in vellum.types vellum.convs; do
  [ -f "$dest/usr/share/cups/mime/$file" ] || { echo "FAIL no /usr/share/cups/mime/$file"; failed=1; }
done
[ $failed -eq 0 ] && echo "installed: 2 filters, vellumpreview, ${#ppds[@]} PPDs passing cupstestppd, the CUPS types"
exit $failed
