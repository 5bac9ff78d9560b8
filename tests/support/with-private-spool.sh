#!/bin/sh
# Runs a command in a mount namespace of its own with an empty tmpfs over
# /var/spool, so that tests of the real backend never touch the machine's
# spool tree. Exits 77 (skipped) where that cannot be had.
[ "$(id -u)" = 0 ] || { echo "skipped: needs root for a private mount namespace" >&2; exit 77; }
command -v unshare >/dev/null || { echo "skipped: unshare is missing" >&2; exit 77; }
exec unshare --mount --propagation private -- sh -c '
    mount -t tmpfs -o mode=0755 zek-spool /var/spool || exit 77
    exec "$@"' zek-private-spool "$@"
