#!/usr/bin/env bash
# Builds the Debian package with cpack and checks its files, its maintainer
# scripts and (when lintian is installed) that lintian reports no errors.
# Usage: deb_contents.sh BUILD_DIR HAVE_MAN
set -euo pipefail
build=$1
have_man=$2
command -v dpkg-deb >/dev/null || { echo "skipped: dpkg-deb is not installed"; exit 77; }
out=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-deb.XXXXXX")
trap 'rm -rf "$out"' EXIT
(cd "$build" && cpack -G DEB -B "$out" >"$out/cpack.log" 2>&1) || { cat "$out/cpack.log"; exit 1; }
deb=$(ls "$out"/tarnel_*.deb 2>/dev/null | head -n1)
[ -n "$deb" ] || { echo "no tarnel .deb made"; ls "$out"; exit 1; }
gui_deb=$(ls "$out"/tarnel-gui_*.deb 2>/dev/null | head -n1)
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|' >"$out/files"
fail=0
want() {
  grep -qxF "$1" "$out/files" || { echo "package lacks $1"; fail=1; }
}
want /usr/bin/tarnel
want /usr/bin/tarnelctl
want /usr/bin/htsim
want /usr/share/tarnel/server/device.ini
want /usr/share/tarnel/server/panelset.ini
want /usr/share/tarnel/device.ini
want /usr/share/doc/tarnel/README.md
want /usr/share/doc/tarnel/operators.md
want /usr/share/doc/tarnel/copyright
want /usr/share/doc/tarnel/changelog.gz
want /usr/lib/systemd/system/tarnel.service
if [ "$have_man" = 1 ]; then
  want /usr/share/man/man1/tarnel.1.gz
  want /usr/share/man/man5/tarnel-config.5.gz
fi
# Nothing outside /usr and /lib (the configuration is made by postinst).
bad=$(grep -vE '^/(usr|lib)(/|$)|^/$' "$out/files" || true)
[ -z "$bad" ] || { echo "files outside /usr and /lib: $bad"; fail=1; }
# The maintainer scripts.
mkdir "$out/control"
dpkg-deb -e "$deb" "$out/control"
for s in postinst prerm postrm; do
  [ -x "$out/control/$s" ] || { echo "no executable $s"; fail=1; }
done
grep -q 'adduser --system' "$out/control/postinst" || { echo "postinst makes no system user"; fail=1; }
grep -q '/srv/tarnel' "$out/control/postinst" || { echo "postinst makes no /srv/tarnel"; fail=1; }
if grep -qE 'rm -r|deluser|userdel' "$out/control/prerm" "$out/control/postrm"; then
  echo "prerm/postrm remove data or the user"; fail=1
fi
[ "$(dpkg-deb -f "$deb" Package)" = tarnel ] || { echo "wrong package name"; fail=1; }
# The server's package needs no Qt; the desktop program comes in its own.
if grep -qx /usr/bin/tarnel-gui "$out/files" || dpkg-deb -f "$deb" Depends | grep -q qt6; then
  echo "the server package carries the desktop program or depends on Qt"; fail=1
fi
if [ -n "$gui_deb" ]; then
  dpkg-deb -c "$gui_deb" | awk '{print $NF}' | grep -qx './usr/bin/tarnel-gui' || { echo "tarnel-gui package lacks /usr/bin/tarnel-gui"; fail=1; }
  dpkg-deb -f "$gui_deb" Depends | grep -q 'tarnel (=' || { echo "tarnel-gui does not depend on tarnel"; fail=1; }
fi
if command -v lintian >/dev/null; then
  if lintian --no-tag-display-limit "$deb" $gui_deb >"$out/lintian" 2>&1 || true; then :; fi
  if grep -q '^E:' "$out/lintian"; then echo "lintian errors:"; grep '^E:' "$out/lintian"; fail=1; fi
else
  echo "lintian not installed: its check is skipped"
fi
[ "$fail" = 0 ] && echo "package ok: $(basename "$deb") ${gui_deb:+$(basename "$gui_deb")}"
exit $fail
