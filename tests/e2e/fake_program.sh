#!/bin/sh
# Stand-in for a device program that the network apply command runs
# (/usr/local/bin/confignw, /etc/dhcpc/dhcpcd.exe): prints "ran" and how it
# was called, "lock held" when FAKE_LOCK names a file whose exclusive flock is
# taken, and ends as FAKE_<NAME> (FAKE_CONFIGNW, FAKE_DHCPCD_EXE) asks:
# "exit N", or "kill SIG" (the "sh -c" of system() first, so that the caller
# sees a death by signal and not the shell's exit code); unset: exit 0.
printf 'ran %s\n' "$0 $*"
[ -z "${FAKE_LOCK:-}" ] || flock -n "$FAKE_LOCK" true || echo "lock held"
eval "how=\${FAKE_$(basename "$0" | tr a-z. A-Z_):-}"
case $how in
    exit\ *) exit "${how#exit }" ;;
    kill\ *) [ "$(cat /proc/$PPID/comm)" = sh ] && kill -s "${how#kill }" $PPID
             kill -s "${how#kill }" $$ ;;
esac
