#!/bin/bash
# Runs a Windows program under Wine in a private prefix:
#   wine-run.sh [--arch win64|win32] PREFIX PROGRAM [ARGS...]
# The prefix and its server are made ready first (see wine-prefix.sh), so a fresh build tree
# needs no separate step and parallel programs never set the prefix up at the same time.
set -euo pipefail

arch=win64
if [[ ${1:-} == --arch ]]; then
    arch=$2  # wine-prefix.sh checks it
    shift 2
fi
prefix=$1
shift
"$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/wine-prefix.sh" --arch "$arch" start "$prefix"

export WINEPREFIX=$prefix WINEARCH=$arch WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
exec wine "$@"
