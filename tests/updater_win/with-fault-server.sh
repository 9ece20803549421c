#!/usr/bin/env bash
# with-fault-server.sh SERVER COMMAND [ARGS...]
#
# Runs COMMAND (a test program under Wine) beside the scripted fault server
# SERVER (tavlin-fault-server of a Linux build) on 127.0.0.1, and ends the
# server afterwards. The test finds it through TAVLIN_TEST_FAULT_URL
# (http://127.0.0.1:PORT) and TAVLIN_TEST_FAULT_DIR (its folder as a Windows
# path on Wine's Z: drive: the files it serves, their NAME.answers scripts
# and requests.log). Exit 77 (skipped) without SERVER.
set -euo pipefail

server=$1
shift
if [[ ! -x "$server" ]]; then
    echo "with-fault-server.sh: no fault server at '$server' (build tavlin-fault-server in a Linux build)" >&2
    exit 77
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/tavlin-win-fault.XXXXXX")
pid=
cleanup() {
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT

"$server" "$dir" &
pid=$!
for _ in $(seq 1 100); do
    [[ -s "$dir/port" ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
done
if [[ ! -s "$dir/port" ]]; then
    echo "with-fault-server.sh: the fault server did not start" >&2
    exit 1
fi

export TAVLIN_TEST_FAULT_URL="http://127.0.0.1:$(cat "$dir/port")"
export TAVLIN_TEST_FAULT_DIR
TAVLIN_TEST_FAULT_DIR=$(printf 'Z:%s' "${dir//\//\\}")
set +e
"$@"
status=$?
set -e
exit $status
