#!/bin/sh
# Runs a test program as PID 1 of a PID namespace of its own, with its own
# /proc (see tests/support/run_isolated.sh). As root it needs no user
# namespace, and leaves it out: in one that maps only root, no process could
# run as another user, which the tests of other users' clients need.
if [ "$(id -u)" = 0 ] && unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc --kill-child "$@"
fi
exec "$(dirname "$0")/../support/run_isolated.sh" "$@"
