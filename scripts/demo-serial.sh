#!/usr/bin/env bash
# Shows an RS-232C session without a serial port: htsim makes a
# pseudo-terminal pair and links its PC side at a path in a scratch program
# directory, the headless server (IF=RS232C) opens that path as COM1
# (TARNEL_COM1), and the terminal asks for the PC's clock, lists the demo
# folder, fetches a file and sends one back. Then SIGTERM stops the server.
# Everything ends within about a minute (the terminal's --timeout and a
# watchdog on the server) and the scratch folder is removed.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build/release -G Ninja
cmake --build build/release -j "$(nproc)" --target tarnel htsim
tarnel=$PWD/build/release/app/tarnel
htsim=$PWD/build/release/tools/htsim/htsim

dir=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-serial-demo.XXXXXX")
cp -r app/default-config/. "$dir/"
sed -i "s|@PROGRAM_DIR@|$dir|g; s|@PORT@|50123|g; s|^IF=.*|IF=RS232C|; s|^Baud=.*|Baud=115200|" "$dir/device.ini"
mkdir "$dir/ht" "$dir/locks"
printf 'written on the terminal\n' > "$dir/ht/NOTE.TXT"
# The demo folder as the engine's PC paths name it (drive C: is /).
pcdemo="C:$(printf '%s' "$dir/demo" | tr / '\\')"

server="" ht="" watchdog=""
cleanup() {
  for pid in $ht $server; do
    if kill -0 "$pid" 2>/dev/null; then kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  done
  if [ -n "$watchdog" ]; then kill "$watchdog" 2>/dev/null || true; wait "$watchdog" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

echo "== htsim --pty --link $dir/com1   (the terminal's end of a pseudo-terminal pair)"
"$htsim" --pty --link "$dir/com1" --baud 115200 --disk "$dir/ht" --timeout 45 \
  --do "session serial demo" --do time --do "info $pcdemo\\*.*" --do "fetch $pcdemo\\HELLO.TXT" \
  --do "send NOTE.TXT $pcdemo\\NOTE.TXT" > >(sed -u 's/^/ht     | /') 2>&1 &
ht=$!
for _ in $(seq 100); do [ -L "$dir/com1" ] && break; sleep 0.1; done
[ -L "$dir/com1" ] || { echo "htsim made no pseudo-terminal"; exit 1; }

echo "== TARNEL_COM1=$dir/com1 tarnel --headless --program-dir $dir   (IF=RS232C, 115200 8N1)"
TARNEL_COM1="$dir/com1" TARNEL_LOCK_DIR="$dir/locks" \
  "$tarnel" --headless --program-dir "$dir" > >(sed -u 's/^/tarnel | /') 2>&1 &
server=$!
# However the session goes, the server is stopped within a minute.
(sleep 60; kill -TERM "$server" 2>/dev/null) &
watchdog=$!

status=0
wait "$ht" || status=$?
ht=""
echo "== htsim exit status $status; the terminal's disk now holds: $(ls "$dir/ht" | tr '\n' ' ')"
echo "== the PC's demo folder now holds: $(ls "$dir/demo" | tr '\n' ' ')"
sleep 0.5
echo "== SIGTERM: the server stops the line and exits"
kill -TERM "$server"
server_status=0
wait "$server" || server_status=$?
server=""
echo "== server exit status $server_status; lock files left: $(ls "$dir/locks" | wc -l)"
