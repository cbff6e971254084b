#!/usr/bin/env bash
# Makes sure the cluster tests have PostgreSQL and HAProxy: Debian's
# `postgresql` and `haproxy` packages. As root, installs whichever is
# missing; otherwise says so in one line and leaves those tests to skip.
# Always exits 0: a missing package is a skip, not a failure.
set -uo pipefail

have_postgresql() {
    command -v initdb >/dev/null 2>&1 || compgen -G '/usr/lib/postgresql/*/bin/initdb' >/dev/null
}
have_haproxy() { command -v haproxy >/dev/null 2>&1; }

missing=()
have_postgresql || missing+=(postgresql)
have_haproxy || missing+=(haproxy)

if [ "${#missing[@]}" -eq 0 ]; then
    echo "cluster tests: postgresql and haproxy found"
elif [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "cluster tests: installing ${missing[*]}"
    if apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null; then
        echo "cluster tests: installed ${missing[*]}"
    else
        echo "cluster tests: could not install ${missing[*]}; the tests that need them will be skipped"
    fi
else
    echo "cluster tests: no ${missing[*]} (apt-get install -y ${missing[*]} as root); the tests that need them will be skipped"
fi
exit 0
