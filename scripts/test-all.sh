#!/usr/bin/env bash
# The whole test run, as CI runs it. Needs python3 (3.10 or later) with its
# venv module (Debian/Ubuntu: python3-venv) and a C++20 compiler; everything
# else goes into a virtual environment of its own, so the interpreter that
# runs this script is never changed:
#
#   venv             make .venv-test in the checkout, or reuse it;
#   install          install the package there with its private engine test
#                    module, compiler warnings as errors, and the extras
#                    listed in `extras` below;
#   lint             ruff (lint and format) and clang-format checks, with the
#                    versions pinned by the `lint` extra;
#   js               the page's pure modules (no DOM) under node's own test
#                    runner, `node --test tests/js/` (Node 20.19 or later;
#                    skipped in one line without it);
#   browser          Debian's chromium for the browser tests, installed with
#                    apt-get when it is missing and this runs as root (the
#                    browser tests skip, in one line, without it);
#   cluster          Debian's postgresql and haproxy for the tests of several
#                    nodes (tests/cluster), installed the same way (those
#                    tests skip, in one line, without them);
#   suite            run the whole suite against the installed package;
#   sanitizer_build  build the modules again with AddressSanitizer and
#                    UndefinedBehaviorSanitizer (plus the C++ library's own
#                    checks) into build/asan, tesko_tools with its compiled
#                    part included;
#   sanitizer_suite  run the engine, module and tools suites on that build,
#                    with a bounded fuzz run of the Python API in it
#                    (TESKO_FUZZ_SECONDS, default 45).
#
# Exits non-zero at the first failure; the last lines are pytest's summary
# of the sanitizer run. Extra arguments go to both pytest runs, for example
# `bash scripts/test-all.sh -k engine`.
#
# Environment: TESKO_PYTHON, the interpreter that makes the environment
# (default python3); TESKO_VENV, where it lives (default .venv-test).
set -euo pipefail
cd "$(dirname "$0")/.."

# Extras of the package installed for the tests (pyproject's
# [project.optional-dependencies]).
extras=(test lint server browser)

# The stages, in order: to add one, write a function `stage_NAME` below and
# put NAME in this list.
stages=(venv install lint js browser cluster suite sanitizer_build sanitizer_suite)

# Test folders the sanitizer run leaves out: its runtime is preloaded into
# the interpreter, and those suites start servers and browsers.
sanitizer_ignore=(tests/server tests/browser tests/cluster)

base_python=${TESKO_PYTHON:-python3}
venv=${TESKO_VENV:-.venv-test}
fuzz_seconds=${TESKO_FUZZ_SECONDS:-45}
python="$venv/bin/python"
pytest_args=("$@")

say() { printf '\n=== %s\n' "$*"; }
die() { printf 'test-all.sh: %s\n' "$*" >&2; exit 1; }

pytest_run() {
    local rc=0
    "$python" -m pytest "$@" || rc=$?
    if [ "$rc" -ne 0 ]; then
        [ "$rc" -eq 5 ] && echo "pytest ran no test" >&2
        exit "$rc"
    fi
}

stage_venv() {
    if [ -x "$python" ] && "$python" -c 'import sys; assert sys.prefix != sys.base_prefix' 2>/dev/null; then
        say "reuse the test environment $venv ($("$python" -V 2>&1))"
    else
        command -v "$base_python" >/dev/null || die "no $base_python on PATH: install Python 3.10 or later"
        say "make the test environment $venv with $("$base_python" -V 2>&1)"
        rm -rf "$venv"
        if ! "$base_python" -m venv "$venv"; then
            rm -rf "$venv"
            die "'$base_python -m venv' failed: on Debian or Ubuntu install python3-venv first (sudo apt install python3-venv)"
        fi
    fi
    # Tools installed into the environment (cmake, ninja) come first.
    export PATH="$PWD/$venv/bin:$PATH"
    unset PYTHONHOME
}

stage_install() {
    local wanted
    wanted=$(IFS=,; echo "${extras[*]}")
    say "install the package and its extras [$wanted] into $venv"
    # --config-settings, not -C: pip before 23.1 (Debian 12's) lacks the short form.
    "$python" -m pip install --progress-bar off \
        --config-settings=cmake.define.TESKO_TESTING=ON \
        --config-settings=cmake.define.TESKO_WERROR=ON ".[$wanted]"
}

stage_lint() {
    say "lint and format checks"
    bash scripts/lint.sh
}

stage_js() {
    say "the page's modules under node --test"
    # From 20.19 on, node loads the page's .js files as the ES modules they
    # are without a package.json to say so.
    local version
    version=$(node --version 2>/dev/null | sed -n 's/^v\([0-9.]*\)$/\1/p')
    if [ -z "$version" ] || [ "$(printf '%s\n' 20.19 "$version" | sort -V | head -1)" != 20.19 ]; then
        echo "node 20.19 or later not found: the page's module tests (tests/js) not run"
        return 0
    fi
    node --test tests/js/
}

stage_browser() {
    say "a browser for the browser tests"
    bash scripts/browser-setup.sh
}

stage_cluster() {
    say "PostgreSQL and HAProxy for the cluster tests"
    bash scripts/cluster-setup.sh
}

stage_suite() {
    say "test suite"
    pytest_run "${pytest_args[@]}"
}

cmake_new_enough() {
    local version
    version=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9]*\.[0-9]*\).*/\1/p')
    [ -n "$version" ] || return 1
    [ "$(printf '%s\n' 3.26 "$version" | sort -V | head -1)" = 3.26 ]
}

stage_sanitizer_build() {
    say "sanitizer build (build/asan)"
    # CMake finds the stable-ABI module parts from 3.26 on (Debian 12 has 3.25).
    if ! cmake_new_enough; then
        "$python" -m pip install --progress-bar off "cmake>=3.26"
        hash -r
    fi
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S . -B build/asan "${generator[@]}" \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTESKO_TESTING=ON -DTESKO_SANITIZE=ON -DTESKO_WERROR=ON \
        -DPython_EXECUTABLE="$PWD/$python"
    cmake --build build/asan -j2
}

stage_sanitizer_suite() {
    say "test suite on the sanitizer build, with a ${fuzz_seconds} s fuzz run"
    # The interpreter itself is not instrumented, so the sanitizer runtime has
    # to be loaded into it first. Python objects come from malloc, where the
    # sanitizer watches them, instead of the interpreter's own pools. All of
    # this stays inside a subshell: later stages run without it.
    (
        compiler=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt)
        runtime=$("${compiler:-c++}" -print-file-name=libasan.so)
        [ -f "$runtime" ] || die "no AddressSanitizer runtime for ${compiler:-c++}"
        export LD_PRELOAD="$runtime${LD_PRELOAD:+ $LD_PRELOAD}"
        # CPython leaves memory to the end of the process on purpose: no leak
        # check at exit (the leak tests measure memory over repeated calls).
        export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:check_initialization_order=1:strict_init_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
        export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
        export PYTHONMALLOC=malloc
        export PYTHONPATH="$PWD/build/asan${PYTHONPATH:+:$PYTHONPATH}"
        export TESKO_FUZZ_SECONDS="$fuzz_seconds"

        "$python" - <<'EOF'
import tesko, _tesko_testing
from tesko_tools import _analysis
for module in (tesko, _tesko_testing, _analysis):
    assert "/build/asan/" in module.__file__, f"{module.__name__} was not taken from build/asan: {module.__file__}"
assert any("libasan" in line for line in open("/proc/self/maps")), "the sanitizer runtime is not loaded"
print("sanitized modules:", tesko.__file__, _tesko_testing.__file__, _analysis.__file__)
EOF
        local ignore=()
        for folder in "${sanitizer_ignore[@]}"; do ignore+=("--ignore=$folder"); done
        pytest_run "${ignore[@]}" "${pytest_args[@]}"
    )
}

for name in "${stages[@]}"; do
    "stage_$name"
done
