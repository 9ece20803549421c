#!/bin/sh
# Runs a test program as PID 1 of its own PID namespace with its own /proc,
# so that it finds and kills only its own children. Falls back to running
# it directly where namespaces are refused (ctest then serialises it with
# the other tests that start client programs).
if unshare --user --map-root-user --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child "$@"
fi
exec "$@"
