#!/usr/bin/env bash
# Installs what is missing, builds twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs the whole test suite in both builds
# (the fuzz corpora replayed included); then builds what the end-to-end tests
# need with ThreadSanitizer and runs those tests (label e2e) once more; then
# fuzzes every fuzz target briefly when clang is installed.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
jobs=$(nproc)
export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
for variant in release asan; do
  dir=build/$variant
  flags=()
  [ "$variant" = asan ] && flags=(-DTARNEL_SANITIZE=ON)
  cmake -S . -B "$dir" -G Ninja "${flags[@]}"
  cmake --build "$dir" -j "$jobs"
  (cd "$dir" && ctest --output-on-failure -j "$jobs")
done
# ThreadSanitizer: only the programs the end-to-end tests start, and only those tests.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/e2e/tsan.supp"
cmake -S . -B build/tsan -G Ninja -DTARNEL_TSAN=ON
cmake --build build/tsan -j "$jobs" --target tarnel htsim tarnelctl e2e_tests
(cd build/tsan && ctest -L e2e --output-on-failure -j "$jobs")
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
