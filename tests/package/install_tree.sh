#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what lands where.
# Usage: install_tree.sh BUILD_DIR HAVE_MAN
set -euo pipefail
build=$1
have_man=$2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
fail=0
want() {
  if [ ! -e "$prefix/$1" ]; then echo "missing: $1"; fail=1; fi
}
for p in tarnel tarnelctl htsim; do
  want "bin/$p"
  [ -x "$prefix/bin/$p" ] || { echo "not executable: bin/$p"; fail=1; }
done
want share/tarnel/device.ini
want share/tarnel/panelset.ini
want share/tarnel/demo/HELLO.TXT
want share/tarnel/server/device.ini
want share/tarnel/server/panelset.ini
want share/doc/tarnel/README.md
want share/doc/tarnel/operators.md
want share/doc/tarnel/copyright
want share/doc/tarnel/changelog.gz
grep -q '^| 73 | PC Sends End Indication' "$prefix/share/doc/tarnel/operators.md" 2>/dev/null || { echo "the installed guide has no ending-code table"; fail=1; }
want lib/systemd/system/tarnel.service
if [ "$have_man" = 1 ]; then
  for m in man1/tarnel.1 man1/tarnelctl.1 man1/htsim.1 man5/tarnel-config.5; do
    want "share/man/$m.gz"
    zcat "$prefix/share/man/$m.gz" 2>/dev/null | grep -q '^\.TH' || { echo "not roff: $m"; fail=1; }
  done
fi
# The installed program runs.
"$prefix/bin/tarnel" --version | grep -q '^tarnel ' || { echo "bin/tarnel --version failed"; fail=1; }
# Nothing else at the top of the prefix.
extra=$(cd "$prefix" && ls -A | grep -vxE 'bin|share|lib' || true)
[ -z "$extra" ] || { echo "unexpected at the top: $extra"; fail=1; }
[ "$fail" = 0 ] && echo "install tree ok"
exit $fail
