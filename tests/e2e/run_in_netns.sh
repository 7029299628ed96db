#!/bin/sh
# Runs a command (normally the end-to-end test binary) in a private network
# namespace with only the loopback interface up, so packet engines that bind
# fixed ports on every address clash with nothing else on the machine and
# are unreachable from outside.  Where namespaces are not permitted (no
# privilege, containers without unshare) it runs the command directly.
if [ "$#" -eq 0 ]; then
  echo "usage: run_in_netns.sh COMMAND [ARGS...]" >&2
  exit 2
fi
if [ -z "$HARVOX_NO_NETNS" ] && command -v unshare >/dev/null 2>&1 &&
   command -v ip >/dev/null 2>&1 &&
   unshare -n sh -c 'ip link set lo up' >/dev/null 2>&1; then
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' run_in_netns "$@"
fi
exec "$@"
