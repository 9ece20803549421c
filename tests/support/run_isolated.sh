#!/bin/sh
# Runs a test program as PID 1 of a PID namespace of its own, with its own
# /proc: the programs it starts see only its processes, so a client started
# by another test (or a real one) is never taken for theirs, and whatever it
# leaves running ends with it. Where namespaces are refused it runs the
# program directly; ctest then serialises it through its resource lock.
if unshare --user --map-root-user --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child "$@"
fi
exec "$@"
