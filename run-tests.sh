#!/usr/bin/env bash
# Installs what is missing, builds twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite in both builds
# (the fuzz corpora replayed included); then builds everything but the
# desktop program with ThreadSanitizer and runs the suite once more; then
# fuzzes every fuzz target briefly when clang is installed.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
. scripts/ccache.sh
jobs=$(nproc)
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for variant in release asan; do
  dir=build/$variant
  flags=()
  [ "$variant" = asan ] && flags=(-DTARNEL_SANITIZE=ON)
  cmake -S . -B "$dir" -G Ninja "${flags[@]}" "${cmake_launcher[@]}"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
# ThreadSanitizer: the whole suite once more, without the desktop program
# (Qt's libraries are not built with ThreadSanitizer, so it cannot see their
# locks and would report races inside them; the GUI's own threads are in the
# models, which are tested here through their toolkit-free libraries).
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
cmake -S . -B build/tsan -G Ninja -DTARNEL_TSAN=ON -DTARNEL_GUI=OFF "${cmake_launcher[@]}"
cmake --build build/tsan -j "$jobs"
(cd build/tsan && ctest --output-on-failure -j "$jobs")
# Brief fuzzing: every fuzz target for TARNEL_FUZZ_SECONDS seconds (default
# 20) with clang and libFuzzer, when they are installed; a crash, leak or
# time-out fails the run (fuzz/README.md).
fuzz_seconds=${TARNEL_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" -gt 0 ] && command -v clang++ >/dev/null; then
  probe=$(mktemp -d)
  if echo 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }' |
       clang++ -x c++ -fsanitize=fuzzer - -o "$probe/probe" 2>/dev/null; then
    ./scripts/fuzz.sh --jobs "$jobs" all "$fuzz_seconds"
  else
    echo "fuzzing skipped: clang++ cannot link libFuzzer here"
  fi
  rm -rf "$probe"
fi
