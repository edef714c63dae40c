#!/usr/bin/env bash
# Installs what is missing, builds tarnel and shows it at work: the headless
# server with the bundled demo configuration (app/default-config: TCP/IP on a
# loopback port, a demo working folder) in a scratch program directory, two
# simulated handheld terminals (htsim) holding sessions with it, an operator
# command handed in with tarnelctl, and an orderly stop.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build/release -G Ninja
cmake --build build/release -j "$(nproc)" --target tarnel htsim tarnelctl
tarnel=build/release/app/tarnel
htsim=build/release/tools/htsim/htsim
tarnelctl=build/release/tools/tarnelctl/tarnelctl

# A free loopback port, from 50123 up.
port=${TARNEL_DEMO_PORT:-50123}
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done

dir=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-demo.XXXXXX")
cp -r app/default-config/. "$dir/"
sed -i "s|@PROGRAM_DIR@|$dir|g; s|@PORT@|$port|g" "$dir/device.ini"
mkdir "$dir/ht1" "$dir/ht2"
# The demo folder as the engine's PC paths name it (drive C: is /).
pcdemo="C:$(printf '%s' "$dir/demo" | tr / '\\')"

server=""
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then kill -TERM "$server"; wait "$server" || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

echo "== tarnel --headless --program-dir $dir   (TCP/IP on 127.0.0.1:$port)"
TARNEL_LISTEN=127.0.0.1 "$tarnel" --headless --program-dir "$dir" > >(sed -u 's/^/tarnel | /') 2>&1 &
server=$!
for _ in $(seq 100); do "$tarnelctl" --program-dir "$dir" 4 0 >/dev/null 2>&1 && break; sleep 0.1; done

echo "== HT 1 (from 127.0.0.11): session information, the PC's clock, its demo folder, fetch a file"
"$htsim" --port "$port" --source 127.0.0.11 --disk "$dir/ht1" --timeout 30 \
  --do "session demo" --do time --do "info $pcdemo\\*.*" --do "fetch $pcdemo\\HELLO.TXT" | sed -u 's/^/ht1    | /'
sleep 0.3

echo "== HT 2 (from 127.0.0.12) reports idle; the operator sends it the demo files with tarnelctl"
"$htsim" --port "$port" --source 127.0.0.12 --disk "$dir/ht2" --timeout 30 | sed -u 's/^/ht2    | /' &
ht2=$!
# Station index 1 is HT 2; operation 3 tells when it waits for a command.
for _ in $(seq 100); do [ "$("$tarnelctl" --program-dir "$dir" 3 1)" = 1 ] && break; sleep 0.1; done
echo "\$ tarnelctl --program-dir $dir 0 1 '/S $pcdemo\\*.TXT A:\\'"
"$tarnelctl" --program-dir "$dir" 0 1 "/S $pcdemo\\*.TXT A:\\"
wait "$ht2" || true
echo "== HT 2's disk now holds: $(ls "$dir/ht2" | tr '\n' ' ')"

echo "== SIGTERM: the server stops the Link Manager and exits"
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
sleep 0.2
echo "== server exit status $status"
