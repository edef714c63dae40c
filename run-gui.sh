#!/usr/bin/env bash
# Installs what is missing, builds tarnel and opens the desktop program with
# the bundled demo configuration (app/default-config: TCP/IP on a loopback
# port) in a scratch program directory, while three simulated handheld
# terminals (htsim) fetch a large demo file again and again, so the station
# bars move. Close the window (or press Ctrl+C here) to end the demo.
#
# Without a display (no DISPLAY or WAYLAND_DISPLAY) it runs the program on
# Qt's offscreen platform for 20 seconds and saves pictures of the main
# window to build/release/screenshots/.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build/release -G Ninja
cmake --build build/release -j "$(nproc)" --target tarnel htsim tarnelctl
tarnel=build/release/app/tarnel
htsim=build/release/tools/htsim/htsim
tarnelctl=build/release/tools/tarnelctl/tarnelctl

port=${TARNEL_DEMO_PORT:-50133}
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done

dir=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-gui-demo.XXXXXX")
cp -r app/default-config/. "$dir/"
sed -i "s|@PROGRAM_DIR@|$dir|g; s|@PORT@|$port|g" "$dir/device.ini"
printf '3=127.0.0.13\r\n' >> "$dir/device.ini"
head -c 16777216 /dev/zero | tr '\0' 'x' > "$dir/demo/LARGE.DAT"
pcdemo="C:$(printf '%s' "$dir/demo" | tr / '\\')"

args=(--program-dir "$dir")
offscreen=0
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "== no display: offscreen for 20 s, pictures in build/release/screenshots/"
  export QT_QPA_PLATFORM=offscreen
  args+=(--screenshot-dir "$PWD/build/release/screenshots")
  offscreen=1
fi

gui=""
terminals=()
cleanup() {
  for t in "${terminals[@]}"; do kill "$t" 2>/dev/null || true; done
  if [ -n "$gui" ] && kill -0 "$gui" 2>/dev/null; then kill -TERM "$gui"; wait "$gui" || true; fi
  wait 2>/dev/null || true
  rm -rf "$dir"
}
trap cleanup EXIT

echo "== tarnel --program-dir $dir   (TCP/IP on 127.0.0.1:$port)"
TARNEL_LISTEN=127.0.0.1 "$tarnel" "${args[@]}" &
gui=$!
# Offscreen nobody can close the window: SIGTERM ends the program in order.
if [ "$offscreen" = 1 ]; then (sleep 20; kill -TERM "$gui" 2>/dev/null || true) & fi
for _ in $(seq 100); do "$tarnelctl" --program-dir "$dir" 4 0 >/dev/null 2>&1 && break; sleep 0.1; done

# Each terminal fetches the large file, again and again, while the window is open.
for n in 1 2 3; do
  mkdir -p "$dir/ht$n"
  (
    while kill -0 "$gui" 2>/dev/null; do
      "$htsim" --port "$port" --source "127.0.0.1$n" --disk "$dir/ht$n" --timeout 120 \
        --do "fetch $pcdemo\\LARGE.DAT" >/dev/null 2>&1 || sleep 1
      rm -rf "$dir/ht$n/"* 2>/dev/null || true
    done
  ) &
  terminals+=($!)
done
status=0
wait "$gui" || status=$?
gui=""
echo "== tarnel ended with status $status"
