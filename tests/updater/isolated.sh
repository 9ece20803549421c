#!/bin/sh
# Runs a test program as PID 1 of its own PID namespace with its own /proc,
# so that it finds and kills only its own children. As root no user
# namespace is needed, and none is made: the tests also run programs as
# another user, which a namespace that maps only root cannot hold. Falls
# back to running it directly where namespaces are refused (ctest then
# serialises it with the other tests that start client programs).
if [ "$(id -u)" = 0 ] && unshare --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    exec unshare --pid --fork --mount-proc --kill-child "$@"
fi
if unshare --user --map-root-user --pid --fork --mount-proc --kill-child true 2>/dev/null; then
    exec unshare --user --map-root-user --pid --fork --mount-proc --kill-child "$@"
fi
exec "$@"
