#!/bin/bash
# The Wine prefix the Windows tests run in.
#   wine-prefix.sh start PREFIX   create and configure the prefix if needed, and make sure a wine
#                                 server is up for it (kept for 10 minutes after its last
#                                 program), so that each test program starts in about 0.1 s
#   wine-prefix.sh stop PREFIX    stop that server and every Wine program in the prefix
# Concurrent starts wait for each other: the prefix is never created twice at once.
# A prefix is 64-bit unless created with --arch win32 first (the 32-bit programs' prefix); Wine
# refuses a prefix of the other architecture, so every call for it must say the same.
set -euo pipefail

usage() {
    echo "usage: $0 [--arch win64|win32] start|stop PREFIX" >&2
    exit 2
}
arch=win64
if [[ ${1:-} == --arch ]]; then
    [[ $# -ge 2 && ($2 == win64 || $2 == win32) ]] || usage
    arch=$2
    shift 2
fi
[[ $# -eq 2 ]] || usage
command=$1
prefix=$(readlink -m "$2")

export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

create() {
    rm -rf "$prefix"
    local log=$prefix.log
    echo "wine-prefix: creating $prefix" >&2
    {
        # Without a display, windows need the null graphics driver; version checks must see
        # Windows 10.
        wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
        wine winecfg -v win10
        wineserver -w
    } >"$log" 2>&1 </dev/null || {
        cat "$log" >&2
        echo "wine-prefix: could not create $prefix" >&2
        exit 1
    }
    touch "$prefix/.kelvo-ready"
}

# Runs under the prefix's lock, which flock keeps to itself: the server started here outlives
# this script and must not hold the lock.
start_locked() {
    [[ -f $prefix/.kelvo-ready ]] || create
    # Refused (status 2) while a server is up already.
    if wineserver -p600 </dev/null >/dev/null 2>&1; then
        # The first program of a server session starts Wine's own services, which live as long
        # as the server. Started from a test they would keep its output pipes open, and the
        # test would seem to run until the server ends; start them here, detached.
        wine cmd /c exit </dev/null >/dev/null 2>&1
    fi
}

case $command in
start)
    mkdir -p "$(dirname "$prefix")"
    flock --close "$prefix.lock" "${BASH_SOURCE[0]}" --arch "$arch" start-locked "$prefix"
    ;;
start-locked) start_locked ;;  # start's own step, under the lock
stop)
    wineserver -k 2>/dev/null || true
    wineserver -w
    ;;
*) usage ;;
esac
