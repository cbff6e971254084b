#!/usr/bin/env bash
# Lint and format checks: ruff over the Python tree, clang-format over the
# C++ tree. Installs nothing: takes `ruff` and `clang-format` from PATH, at
# the versions pinned in pyproject's "lint" extra
# (`python3 -m pip install ".[lint]"` in a virtual environment).
#
# Runs every check and exits non-zero if any of them finds something.
# To fix what it reports: `ruff check --fix .`, `ruff format .` and
# `clang-format -i` on the files named.
set -uo pipefail
cd "$(dirname "$0")/.."

status=0
# check LABEL COMMAND...: runs the command, remembers a failure.
check() {
    printf '=== %s\n' "$1"
    shift
    "$@" || status=1
}

for tool in ruff clang-format; do
    command -v "$tool" >/dev/null || { echo "lint.sh: $tool is not on PATH" >&2; exit 2; }
done
# Other versions may format or judge differently from the pinned ones.
echo "using $(ruff --version), $(clang-format --version)"

check "ruff check" ruff check .
check "ruff format --check" ruff format --check .

# The C++ sources under version control (git) or, outside a checkout, on disk.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t cxx < <(git ls-files -- 'src/*.cpp' 'src/*.hpp' 'tests/native/*.cpp' 'tests/native/*.hpp')
else
    mapfile -t cxx < <(find src tests/native -name '*.cpp' -o -name '*.hpp' | sort)
fi
check "clang-format --dry-run --Werror (${#cxx[@]} files)" clang-format --dry-run --Werror "${cxx[@]}"

[ "$status" -eq 0 ] && echo "lint: clean" || echo "lint: findings above" >&2
exit "$status"
