#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds everything and runs one job:
#   ./build.sh test       build, then run the whole test suite (non-zero on failure)
#   ./build.sh showcase   build, then run the showcase
#   ./build.sh build      build only
#   ./build.sh bench      build, then time the terrain renderer against Embree 3
#                         triangles (installs libembree-dev when missing)
#   ./build.sh sanitize   build, then build again with AddressSanitizer and
#                         UndefinedBehaviorSanitizer (float-to-integer overflow
#                         included) in build-sanitize and run the whole test
#                         suite there (non-zero on failure)
set -euo pipefail
cd "$(dirname "$0")"

mode=${1:-build}
usage="usage: ./build.sh [build|test|showcase|sanitize|bench]"
# A mistyped job is refused before minutes of installing and building.
case "$mode" in
  build|test|showcase|sanitize|bench) ;;
  *) echo "$usage" >&2; exit 2 ;;
esac
build_dir=${QLMR_BUILD_DIR:-build}
jobs=$(nproc 2>/dev/null || echo 8)

packages=(cmake ninja-build g++ pkg-config libgtest-dev libbenchmark-dev
          libvulkan-dev mesa-vulkan-drivers vulkan-validationlayers glslc spirv-tools libstb-dev
          chromium) # headless, for the test that opens the showcase report

# Installs those of the named packages that are not installed yet.
install_missing_packages() {
  local missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

configure_and_build() {
  if [ ! -f "$build_dir/build.ninja" ]; then
    cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release
  fi
  cmake --build "$build_dir" -j "$jobs"
}

install_missing_packages "${packages[@]}"
configure_and_build

case "$mode" in
  build)
    ;;
  test)
    ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
    ;;
  showcase)
    launcher="$build_dir/apps/showcase/qlmr-showcase"
    report="$PWD/report"
    open_flag=()
    # Without a desktop session there is no browser to open the report in.
    [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && open_flag=(--no-open)
    status=0
    # A page older than this run is an earlier report (the launcher refuses
    # a folder it did not write and leaves it alone), not this run's.
    started="$build_dir/.showcase-started"
    touch "$started"
    "$launcher" --out "$report" "${open_flag[@]}" || status=$?
    if [ ! -f "$report/index.html" ] || [ "$report/index.html" -ot "$started" ]; then
      echo "the showcase wrote no report (exit code $status)" >&2
      exit 1
    fi
    # Chapters whose programs are not part of this delivery are reported as
    # skipped in the report itself; they do not fail the command.
    echo "the report is at $report/index.html (launcher exit code $status)"
    ;;
  bench)
    # Embree 3 is only the yardstick of this benchmark; nothing else needs it.
    install_missing_packages libembree-dev
    # Configure again so that CMake finds Embree if it was installed just now.
    cmake -S . -B "$build_dir" >/dev/null
    cmake --build "$build_dir" -j "$jobs" --target qlmr_bench_terrain_vs_triangles_avx2 qlmr_bench_terrain_vs_triangles_sse2
    echo "load average before the runs: $(uptime)"
    for size in 2048 8192; do
      for variant in avx2 sse2; do
        "$build_dir/bench/terrain_vs_triangles/qlmr_bench_terrain_vs_triangles_$variant" --terrain "$size"
      done
    done
    ;;
  sanitize)
    # The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer,
    # in a build of its own (QLMR_SANITIZE_BUILD_DIR). Every report fails its
    # test: ASan stops at its first error, UBSan is compiled without recovery.
    # Its default set leaves out float-to-integer conversions out of range,
    # which are undefined too: they are checked as well.
    sanitize_dir=${QLMR_SANITIZE_BUILD_DIR:-build-sanitize}
    # Configured on every run, so that a build folder made with an older set
    # of checks takes up the current one.
    generator=()
    [ -f "$sanitize_dir/build.ninja" ] || generator=(-G Ninja)
    cmake -S . -B "$sanitize_dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release \
      -DQLMR_SANITIZE=address,undefined,float-cast-overflow -DQLMR_BUILD_BENCHMARKS=OFF >/dev/null
    cmake --build "$sanitize_dir" -j "$jobs"
    # The Vulkan loader unloads lavapipe (not instrumented) with each
    # instance, and what the driver keeps for the whole process would then
    # be reported as leaked from an unknown module. Preloaded, the driver
    # stays mapped: such memory stays reachable and the driver's frames keep
    # their name, which is all the suppression file matches. (The preload
    # comes before the ASan runtime, so ASan must not insist on coming first.)
    asan_preload=""
    lvp_manifest=$(ls /usr/share/vulkan/icd.d/lvp_icd*.json 2>/dev/null | head -n 1 || true)
    if [ -n "$lvp_manifest" ]; then
      asan_preload=$(sed -n 's/.*"library_path": *"\([^"]*\)".*/\1/p' "$lvp_manifest")
    fi
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:strict_string_checks=1:check_initialization_order=1:verify_asan_link_order=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export LSAN_OPTIONS="suppressions=$PWD/tests/sanitizers/vulkan_driver.supp:print_suppressions=0"
    LD_PRELOAD="$asan_preload" ctest --test-dir "$sanitize_dir" --output-on-failure -j "$jobs"
    ;;
esac
