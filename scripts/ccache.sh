# Sourced by run-tests.sh and fuzz.sh: when ccache is installed, compile
# through it, so that a later run on the same machine (another clone
# included: paths are taken relative to the source folder) reuses what an
# earlier one compiled. Sets the array cmake_launcher to the CMake options
# that do it (empty without ccache). An existing CCACHE_DIR is kept.
cmake_launcher=()
if command -v ccache >/dev/null; then
  export CCACHE_DIR=${CCACHE_DIR:-${HOME:-/tmp}/.cache/tarnel-ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  export CCACHE_NOHASHDIR=1
  cmake_launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
