#!/usr/bin/env bash
# Makes sure the browser tests have a browser: Debian's `chromium` package,
# driven by Playwright through its executable path (Playwright never
# downloads a browser here). As root, installs the package when it is
# missing; otherwise says so in one line and leaves the tests to skip.
# Always exits 0: a missing browser is a skip, not a failure.
set -uo pipefail

find_chromium() {
    local name
    for name in "${TESKO_CHROMIUM:-}" chromium chromium-browser; do
        [ -n "$name" ] && command -v "$name" >/dev/null 2>&1 && { command -v "$name"; return 0; }
    done
    return 1
}

if path=$(find_chromium); then
    echo "browser tests: chromium at $path"
elif [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "browser tests: installing the chromium package"
    if apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null; then
        echo "browser tests: chromium at $(find_chromium)"
    else
        echo "browser tests: could not install the chromium package; the browser tests will be skipped"
    fi
else
    echo "browser tests: no chromium (apt-get install -y chromium as root); the browser tests will be skipped"
fi
exit 0
