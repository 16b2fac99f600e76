# The one clang build of ./run test that the fuzz and sanitizer stages share,
# sourced by them:
#
#   sanitize_configure ROOT   configures SANITIZE_BUILD (HOLVANTER_ASAN_BUILD,
#                             default ROOT/build-asan): clang with
#                             AddressSanitizer and UndefinedBehaviorSanitizer
#                             on everything, libFuzzer's coverage in the
#                             component and the fuzz targets beside the tests
#
# One build instead of two: a cold machine compiles the component and its
# Asio and Beast sources once for both stages. -O1 and line tables only:
# what the sanitizers need for their reports, in half the time of -O2 -g.
SANITIZE_CC=${HOLVANTER_FUZZ_CC:-clang-14}
SANITIZE_CXX=${HOLVANTER_FUZZ_CXX:-clang++-14}

sanitize_configure() {
  SANITIZE_BUILD=${HOLVANTER_ASAN_BUILD:-$1/build-asan}
  cmake -S "$1" -B "$SANITIZE_BUILD" -DCMAKE_BUILD_TYPE= \
        -DCMAKE_C_COMPILER="$SANITIZE_CC" -DCMAKE_CXX_COMPILER="$SANITIZE_CXX" \
        -DCMAKE_C_FLAGS="-O1 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS="-O1 -g1 -DNDEBUG" \
        -DHOLVANTER_SANITIZE=ON -DHOLVANTER_FUZZ=ON -DHOLVANTER_BENCH=OFF >/dev/null
}
