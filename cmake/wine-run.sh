#!/bin/bash
# Runs a Windows program under Wine in a private prefix: wine-run.sh PREFIX PROGRAM [ARGS...]
# The prefix and its server are made ready first (see wine-prefix.sh), so a fresh build tree
# needs no separate step and parallel programs never set the prefix up at the same time.
set -euo pipefail

prefix=$1
shift
"$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/wine-prefix.sh" start "$prefix"

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
exec wine "$@"
