#!/bin/sh
# Stand-in for confignw and dhcpcd.exe: prints "ran" and its command line, "lock held" if FAKE_LOCK names a locked file,
# ends as FAKE_CONFIGNW or FAKE_DHCPCD_EXE asks: "exit N" or "kill SIG" (system()'s "sh -c" too, so death by signal shows).
printf 'ran %s\n' "$0 $*"
[ -z "${FAKE_LOCK:-}" ] || flock -n "$FAKE_LOCK" true || echo "lock held"
eval "how=\${FAKE_$(basename "$0" | tr a-z. A-Z_):-}"
case $how in
    exit\ *) exit "${how#exit }" ;;
    kill\ *) [ "$(cat /proc/$PPID/comm)" = sh ] && kill -s "${how#kill }" $PPID; kill -s "${how#kill }" $$ ;;
esac
