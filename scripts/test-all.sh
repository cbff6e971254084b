#!/usr/bin/env bash
# The whole test run, as CI runs it:
#
#   1. install the package with its private engine test module, and the
#      test dependencies (pyproject's "test" extra);
#   2. run the whole suite against the installed package;
#   3. build the module again with AddressSanitizer and UndefinedBehavior-
#      Sanitizer (plus the C++ library's own checks) into build/asan;
#   4. run the whole suite again on that build, with a bounded fuzz run of
#      the Python API in it (TESKO_FUZZ_SECONDS, default 45).
#
# Exits non-zero at the first failure; the last lines are pytest's summary
# of the sanitizer run. Extra arguments go to both pytest runs.
set -euo pipefail
cd "$(dirname "$0")/.."

stage() { printf '\n=== %s\n' "$*"; }

python=${PYTHON:-python3}
fuzz_seconds=${TESKO_FUZZ_SECONDS:-45}

pytest_run() {
    local rc=0
    "$python" -m pytest "$@" || rc=$?
    if [ "$rc" -ne 0 ]; then
        [ "$rc" -eq 5 ] && echo "pytest ran no test" >&2
        exit "$rc"
    fi
}

stage "install the package and the test dependencies"
"$python" -m pip install --progress-bar off -C cmake.define.TESKO_TESTING=ON -C cmake.define.TESKO_WERROR=ON ".[test]"

stage "test suite"
pytest_run "$@"

stage "sanitizer build (build/asan)"
command -v cmake >/dev/null || "$python" -m pip install --progress-bar off cmake
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S . -B build/asan "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESKO_TESTING=ON -DTESKO_SANITIZE=ON -DTESKO_WERROR=ON \
    -DPython_EXECUTABLE="$(command -v "$python")"
cmake --build build/asan -j2

# The interpreter itself is not instrumented, so the sanitizer runtime has
# to be loaded into it first. Python objects come from malloc, where the
# sanitizer watches them, instead of the interpreter's own pools.
compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt)
runtime=$("${compiler:-c++}" -print-file-name=libasan.so)
[ -f "$runtime" ] || { echo "no AddressSanitizer runtime for ${compiler:-c++}" >&2; exit 1; }
export LD_PRELOAD="$runtime${LD_PRELOAD:+ $LD_PRELOAD}"
# CPython leaves memory to the end of the process on purpose: no leak check
# at exit (the leak tests measure memory over repeated calls instead).
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:check_initialization_order=1:strict_init_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/build/asan${PYTHONPATH:+:$PYTHONPATH}"
export TESKO_FUZZ_SECONDS="$fuzz_seconds"

"$python" - <<'EOF'
import tesko, _tesko_testing
for module in (tesko, _tesko_testing):
    assert "/build/asan/" in module.__file__, f"{module.__name__} was not taken from build/asan: {module.__file__}"
assert any("libasan" in line for line in open("/proc/self/maps")), "the sanitizer runtime is not loaded"
print("sanitized modules:", tesko.__file__, _tesko_testing.__file__)
EOF

stage "test suite on the sanitizer build, with a ${fuzz_seconds} s fuzz run"
pytest_run "$@"
