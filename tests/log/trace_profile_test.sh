#!/bin/bash
# deploy/Kelvo.wprp is well-formed, names the provider the service writes to (ProviderId in
# src/log/log.h) at the verbose level, and has the file and memory profiles WPR requires.
#   trace_profile_test.sh PROFILE LOG_HEADER
set -euo pipefail
profile=$1
header=$2

# The GUID's initializer: 0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, ...}.
read -ra parts <<<"$(grep -A1 'ProviderId = {' "$header" | tail -1 | tr -d '{},;')"
[[ ${#parts[@]} -eq 11 ]] || { echo "no ProviderId in $header" >&2; exit 1; }
bytes=()
for part in "${parts[@]}"; do bytes+=("$((part))"); done
provider=$(printf '%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X' "${bytes[@]}")

xmllint --noout "$profile"
query() { xmllint --xpath "$1" "$profile"; }
status=0
check() {
    if [[ $2 != "$3" ]]; then
        echo "$profile: $1 is '$2', expected '$3'" >&2
        status=1
    fi
}
check "the provider" "$(query 'string(//EventProvider/@Name)')" "$provider"
check "its level" "$(query 'string(//EventProvider/@Level)')" 5
check "the profiles" "$(query 'string(//Profile[@LoggingMode="File"]/@Id)') \
$(query 'string(//Profile[@LoggingMode="Memory"]/@Id)')" "Kelvo.Verbose.File Kelvo.Verbose.Memory"
exit $status
