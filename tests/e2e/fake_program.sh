#!/bin/sh
# Stand-in for a device program that the network apply command runs
# (/usr/local/bin/confignw, /etc/dhcpc/dhcpcd.exe). It appends its name and
# arguments as one line to $FAKE_LOG, says on standard output that it ran (so
# tests see where its output lands relative to the caller's), and ends as the
# test asks through FAKE_<NAME> (FAKE_CONFIGNW, FAKE_DHCPCD_EXE):
#   "exit N"   exit with code N
#   "kill SIG" kill itself with signal SIG; when it was started by a shell
#              (system() runs "sh -c ..."), that shell first, so that the
#              caller sees a death by signal and not the shell's exit code
#   "hold F"   leave behind a process that holds an exclusive flock on file
#              F for one second and then appends "lock released" to
#              $FLASHSIM_LOG; exit with code 0 once the lock is taken
#   unset      exit with code 0
# With FAKE_LOCK set to a file, it also logs "NAME: lock held" when an
# exclusive flock on that file cannot be taken at once.
name=${0##*/}
printf '%s\n' "$name $*" >>"${FAKE_LOG:-/dev/null}"
echo "$name: running"
if [ -n "${FAKE_LOCK:-}" ] && ! flock -n "$FAKE_LOCK" true; then
    printf '%s\n' "$name: lock held" >>"${FAKE_LOG:-/dev/null}"
fi
var=FAKE_$(printf '%s' "$name" | tr 'a-z.' 'A-Z_')
eval "how=\${$var:-}"
case $how in
    exit\ *) exit "${how#exit }" ;;
    hold\ *)
        flock "${how#hold }" sh -c 'sleep 1; echo "lock released" >>"$FLASHSIM_LOG"' </dev/null >/dev/null 2>&1 &
        while flock -n "${how#hold }" true; do sleep 0.01; done ;;
    kill\ *)
        [ "$(cat /proc/$PPID/comm 2>/dev/null)" = sh ] && kill -s "${how#kill }" $PPID
        kill -s "${how#kill }" $$; sleep 5; exit 99 ;;
esac
exit 0
