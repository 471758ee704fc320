#!/bin/sh
# private-tmp.sh FOLDER... -- COMMAND...
# Runs COMMAND with a /tmp of its own (an empty tmpfs), so the ports and sockets it makes there
# meet no other run's. The FOLDERs (the checkout, the build) stay where they are when they lie
# under /tmp: each is bound again at its path inside the new /tmp. Run it inside `unshare -m`.
set -e
keep=""
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
    keep="$keep $(realpath "$1")"
    shift
done
[ "$#" -gt 0 ] || { echo "usage: private-tmp.sh FOLDER... -- COMMAND..." >&2; exit 2; }
shift
here=$(pwd)
# The working directory keeps the old /tmp reachable once the tmpfs covers it; the bind mounts
# take their sources relative to it, not through the path (which would find the new /tmp).
cd /tmp
mount -t tmpfs tmpfs /tmp
for folder in $keep; do
    case "$folder" in
        /tmp/?*)
            mkdir -p "$folder"
            mount --no-canonicalize --bind "./${folder#/tmp/}" "$folder"
            ;;
    esac
done
cd "$here" 2>/dev/null || cd /
exec "$@"
