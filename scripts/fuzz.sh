#!/usr/bin/env bash
# Runs fuzz targets with libFuzzer (needs clang): builds what they need in
# build/fuzz, then fuzzes each named target for SECONDS seconds, starting
# from its committed seed corpus (fuzz/corpus/TARGET) plus what earlier runs
# found (build/fuzz/corpus/TARGET; the committed corpus is never changed).
# A crash, leak or time-out stops that target; its input is kept in
# build/fuzz/artifacts/ and the script exits with status 1.
set -euo pipefail
usage() {
  cat <<'USAGE'
usage: scripts/fuzz.sh [--jobs N] TARGET|all SECONDS

TARGET is a fuzz target's name (the .cpp files of fuzz/ without the
extension, plus packet_fixsum and htsim_packet_fixsum), or "all" for every
one of them. SECONDS is the fuzzing time of each target. --jobs N runs N
targets at once (default 1). Prints, per target, the executions, the
coverage reached and the result. TARNEL_FUZZ_BUILD names another build
folder than build/fuzz.
USAGE
}
jobs=1
if [ "${1:-}" = --help ] || [ "${1:-}" = -h ]; then usage; exit 0; fi
if [ "${1:-}" = --jobs ]; then jobs=${2:?}; shift 2; fi
if [ $# -ne 2 ]; then usage >&2; exit 2; fi
target=$1
seconds=$2
case $seconds in ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number" >&2; exit 2;; esac
cd "$(dirname "$0")/.."
root=$PWD
if ! command -v clang++ >/dev/null; then
  echo "fuzz.sh: clang++ is not installed (scripts/deps.sh installs it)" >&2
  exit 2
fi
all=$(sed -n 's/^tarnel_fuzz_target(\([a-z_0-9]*\).*/\1/p' fuzz/CMakeLists.txt)
if [ "$target" = all ]; then
  targets=$all
else
  if ! grep -qx "$target" <<<"$all"; then
    echo "fuzz.sh: no fuzz target named '$target'; there are: $(echo $all)" >&2
    exit 2
  fi
  targets=$target
fi

build=${TARNEL_FUZZ_BUILD:-build/fuzz}
. scripts/ccache.sh
if [ ! -f "$build/build.ninja" ]; then
  # Light optimisation and line tables only: fast to build, enough for the
  # sanitizers' stack traces.
  cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTARNEL_FUZZ=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" \
    "${cmake_launcher[@]}" >/dev/null
fi
build_targets=()
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j "$(nproc)" --target "${build_targets[@]}"

mkdir -p "$build/corpus" "$build/artifacts" "$build/logs"
run_one() {
  local t=$1 seconds=$2 build=$3 root=$4
  local seeds=$root/fuzz/corpus/$t
  case $t in packet_fixsum) seeds=$root/fuzz/corpus/packet;; htsim_packet_fixsum) seeds=$root/fuzz/corpus/htsim_packet;; esac
  local work=$build/corpus/$t log=$build/logs/$t.log
  mkdir -p "$work"
  local status=0
  ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=15 -rss_limit_mb=2048 -max_len=70000 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" "$work" "$seeds" >"$log" 2>&1 || status=$?
  local runs cov
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
  if [ "$status" -eq 0 ]; then
    printf '%-22s ok      %10s runs  cov %s\n' "$t" "${runs:-?}" "${cov:-?}"
  else
    printf '%-22s FAILED  %10s runs  cov %s  (see %s)\n' "$t" "${runs:-?}" "${cov:-?}" "$log"
    grep -m 3 -E 'ERROR|runtime error|Test unit written' "$log" | sed 's/^/    /'
    return 1
  fi
}
export -f run_one
status=0
printf '%s\n' $targets | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$root/$build" "$root" || status=1
exit $status
