#!/usr/bin/env bash
# Installs what is missing, builds tarnel and runs its main job.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build/release -G Ninja
cmake --build build/release -j "$(nproc)"
exec build/release/app/tarnel --help
