#!/usr/bin/env bash
# Checks the service unit with systemd-analyze verify (skipped where the tool
# is missing) and that it keeps the settings the service relies on.
# Usage: unit_verify.sh UNIT_FILE TARNEL_EXE
set -euo pipefail
unit=$1
exe=$2
fail=0
for line in 'Type=notify' 'User=tarnel' 'Environment=TARNEL_DRIVES=C=/srv/tarnel' 'WorkingDirectory=/srv/tarnel' \
            'Environment=TARNEL_LISTED_ONLY=1' 'Environment=TARNEL_CONFINE=1' \
            'ProtectSystem=strict' 'ReadWritePaths=/srv/tarnel' 'PrivateTmp=yes' 'NoNewPrivileges=yes' \
            'ProtectHome=yes' 'CapabilityBoundingSet=' 'Restart=on-failure'; do
  grep -qxF "$line" "$unit" || { echo "unit lacks $line"; fail=1; }
done
grep -q '^ExecStart=/usr/bin/tarnel --headless --program-dir /etc/tarnel' "$unit" || { echo "unit's ExecStart is not the server"; fail=1; }
[ "$fail" = 0 ] || exit 1
command -v systemd-analyze >/dev/null || { echo "skipped: systemd-analyze is not installed"; exit 77; }
dir=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-unit.XXXXXX")
trap 'rm -rf "$dir"' EXIT
# The program is not installed where the unit names it: verify a copy that
# names the built one.
sed "s|/usr/bin/tarnel|$exe|" "$unit" >"$dir/tarnel.service"
if ! systemd-analyze verify --man=no "$dir/tarnel.service" >"$dir/out" 2>&1; then
  # Containers without a running systemd cannot load the units the unit names.
  if grep -qE 'System has not been booted with systemd|Failed to (initialize|setup) manager|Failed to connect' "$dir/out"; then
    echo "skipped: systemd-analyze cannot run here: $(head -n1 "$dir/out")"; exit 77
  fi
  cat "$dir/out"; exit 1
fi
if grep -q 'tarnel.service' "$dir/out"; then cat "$dir/out"; exit 1; fi
echo "unit ok"
