#!/usr/bin/env bash
# A port's network server next to socat (see net_compare.py): the phase net of compare.sh. The
# program binds UDP port 3700 and TCP ports 4600 to 4899 in a network namespace of its own.
# About 2 minutes.
exec "$(dirname "$0")/compare.sh" --only net
