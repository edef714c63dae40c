#!/usr/bin/env bash
# The demo of run-server.sh over SCSI IO boxes instead of TCP/IP: the headless
# server with IF=SCSI and the simulator back end (libwnaspi32.so) beside it,
# and one htsim playing a SCSI bus with two IO boxes, each with a terminal
# behind it: box 0 (HT 1) asks for the PC's clock and files, box 1 (HT 2)
# waits and receives the demo files that an operator command handed in with
# tarnelctl sends it. Then an orderly stop.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build/release -G Ninja
cmake --build build/release -j "$(nproc)" --target tarnel htsim tarnelctl wnaspi32_sim
tarnel=build/release/app/tarnel
htsim=build/release/tools/htsim/htsim
tarnelctl=build/release/tools/tarnelctl/tarnelctl

dir=$(mktemp -d "${TMPDIR:-/tmp}/tarnel-scsi-demo.XXXXXX")
cp -r app/default-config/. "$dir/"
sed -i "s|@PROGRAM_DIR@|$dir|g; s|@PORT@|1|g; s|^IF=ETHERNET|IF=SCSI|" "$dir/device.ini"
# The program directory holds the back end, as an installation would.
cp build/release/aspi/sim/libwnaspi32.so "$dir/"
mkdir "$dir/ht1" "$dir/ht2"
pcdemo="C:$(printf '%s' "$dir/demo" | tr / '\\')"
export TARNEL_SCSI_SIM="tarnel-demo-$$"
export TARNEL_ASPI_LIBRARY="$dir/libwnaspi32.so"

server=""
bus=""
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then kill -TERM "$server"; wait "$server" || true; fi
  if [ -n "$bus" ] && kill -0 "$bus" 2>/dev/null; then kill -TERM "$bus"; wait "$bus" || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT

echo "== htsim --scsi $TARNEL_SCSI_SIM: IO box 0 (HT 1) and IO box 1 (HT 2)"
"$htsim" --scsi "$TARNEL_SCSI_SIM" --timeout 60 \
  --box 0 --disk "$dir/ht1" --do "session demo" --do time --do "info $pcdemo\\*.*" --do "fetch $pcdemo\\HELLO.TXT" \
  --box 1 --disk "$dir/ht2" > >(sed -u 's/^/bus    | /') 2>&1 &
bus=$!
sleep 0.5

echo "== tarnel --headless --program-dir $dir   (IF=SCSI)"
"$tarnel" --headless --program-dir "$dir" > >(sed -u 's/^/tarnel | /') 2>&1 &
server=$!

# Station index 1 is HT 2 (IO box 1); operation 3 tells when it waits for a command.
for _ in $(seq 200); do [ "$("$tarnelctl" --program-dir "$dir" 3 1 2>/dev/null)" = 1 ] && break; sleep 0.1; done
echo "\$ tarnelctl --program-dir $dir 0 1 '/S $pcdemo\\*.TXT A:\\'"
"$tarnelctl" --program-dir "$dir" 0 1 "/S $pcdemo\\*.TXT A:\\"
wait "$bus" || true
bus=""
echo "== HT 2's disk now holds: $(ls "$dir/ht2" | tr '\n' ' ')"

echo "== SIGTERM: the server stops the Link Manager and exits"
kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
sleep 0.2
echo "== server exit status $status"
