# Which build the tests and the demo run: the 32-bit one where this host runs
# 32-bit code, else the 64-bit build of the same sources. Source it, then call
# choose_build; VEXA_TEST_BITS=32|64 forces one.
# Sets VEXA_BITS (32|64), VEXA_PRESET and VEXA_UBSAN_PRESET, and VEXA_BUILD_REASON.

choose_build() {
  local here runs32=no
  here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
  "$here/host-runs-32bit.sh" && runs32=yes
  case "${VEXA_TEST_BITS:-}" in
    '')
      if [ "$runs32" = yes ]; then
        VEXA_BITS=32 VEXA_BUILD_REASON="testing the 32-bit build (this host runs 32-bit code)"
      else
        VEXA_BITS=64 VEXA_BUILD_REASON="testing the 64-bit build: this host runs 64-bit code only"
      fi
      ;;
    32)
      if [ "$runs32" != yes ]; then
        echo "VEXA_TEST_BITS=32, but this host cannot run 32-bit code (a 32-bit program fails with 'Exec format error'): use the 64-bit build" >&2
        return 1
      fi
      VEXA_BITS=32 VEXA_BUILD_REASON="testing the 32-bit build (forced by VEXA_TEST_BITS=32)"
      ;;
    64)
      VEXA_BITS=64 VEXA_BUILD_REASON="testing the 64-bit build (forced by VEXA_TEST_BITS=64; this host runs $([ "$runs32" = yes ] && echo "32-bit code too" || echo "64-bit code only"))"
      ;;
    *)
      echo "VEXA_TEST_BITS must be 32 or 64, not '$VEXA_TEST_BITS'" >&2
      return 1
      ;;
  esac
  if [ "$VEXA_BITS" = 32 ]; then
    VEXA_PRESET=default VEXA_UBSAN_PRESET=ubsan
  else
    VEXA_PRESET=x64 VEXA_UBSAN_PRESET=x64-ubsan
  fi
}

# choose_build_tree SOURCE: unless VEXA_BUILD is set already, the build tree of
# the chosen build under SOURCE (build or build-x64), for the scripts run by
# hand (the benchmark, the soak).
choose_build_tree() {
  [ -z "${VEXA_BUILD:-}" ] || return 0
  choose_build || return 1
  echo "${VEXA_BUILD_REASON/testing/running}" >&2
  VEXA_BUILD=$1/$([ "$VEXA_BITS" = 32 ] && echo build || echo build-x64)
}

# configure_preset PRESET [ARGS...]: cmake --preset PRESET ARGS. A tree that an older
# checkout configured with another generator loses its cache first (CMake refuses to
# switch a tree's generator); its Wine prefixes and test results stay.
configure_preset() {
  local preset=$1 tree='' previous=''
  shift
  case "$preset" in
    default) tree=build ;;
    *) tree=build-$preset ;;
  esac
  local args=("$@") i
  for ((i = 0; i < ${#args[@]}; i++)); do
    [ "${args[i]}" != -B ] || tree=${args[i + 1]:-$tree}
  done
  [ -f "$tree/CMakeCache.txt" ] && previous=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$tree/CMakeCache.txt")
  if [ -n "$previous" ] && [ "$previous" != Ninja ]; then
    echo "configure: $tree was made with '$previous'; configuring it anew with Ninja" >&2
    rm -rf "$tree/CMakeCache.txt" "$tree/CMakeFiles"
  fi
  cmake --preset "$preset" "$@"
}
