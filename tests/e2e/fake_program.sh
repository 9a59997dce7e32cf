#!/bin/sh
# Stands in for the device's programs /usr/local/bin/confignw and /etc/dhcpc/dhcpcd.exe in the
# network tests. It prints how it was called, so that the output shows what ran and in which
# order, and it does what the test asks through these variables:
#   FAKE_CONFIGNW, FAKE_DHCPCD  how that program ends: "exit N", or "kill SIGNAL"
#   FAKE_LOCK                   prints "lock held" if this lock file is locked while it runs
#   FAKE_HOLD_LOCK              leaves a process behind that holds this lock for a second and
#                               then appends "lock released" to the flash log
printf 'ran %s\n' "$0 $*"

if [ -n "${FAKE_LOCK:-}" ] && ! flock --nonblock "$FAKE_LOCK" true; then
    echo "lock held"
fi

if [ -n "${FAKE_HOLD_LOCK:-}" ]; then
    # the holder's own shell expands $FLASHSIM_LOG
    # shellcheck disable=SC2016
    flock "$FAKE_HOLD_LOCK" sh -c 'sleep 1; echo "lock released" >> "$FLASHSIM_LOG"' &
    # return only once the holder has the lock
    while flock --nonblock "$FAKE_HOLD_LOCK" true; do sleep 0.01; done
fi

case $0 in
    */confignw) how=${FAKE_CONFIGNW:-} ;;
    */dhcpcd.exe) how=${FAKE_DHCPCD:-} ;;
    *) how= ;;
esac
case $how in
    exit\ *)
        exit "${how#exit }"
        ;;
    kill\ *)
        # system() sees the signal only if its shell dies of it too, in case that shell did
        # not replace itself with this program
        if [ "$(cat "/proc/$PPID/comm")" = sh ]; then
            kill -s "${how#kill }" "$PPID"
        fi
        kill -s "${how#kill }" $$
        ;;
esac
