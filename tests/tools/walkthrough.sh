#!/bin/sh
# The README's "Running it by hand" as written, in this build folder with a private root: the
# standing board, the service under kvocrkey with a held press, kvomsg's terminate, kvocrkey's
# exit status 0, and the board's end with its root gone.
set -eu
readme=$1 build=$2
work=$(mktemp -d) board='' svc=''
trap 'kill $board $svc 2>/dev/null || true; rm -rf "$work"' EXIT
cmd() { # the README's command line that starts with $1, for this build and root
  grep -m1 -- "^$1" "$readme" | sed -e "s#build/host/#$build/#g" -e "s#/tmp/kvo-board#$work/root#g"
}
see() { # a line of the board's output, within ten seconds
  for _ in $(seq 100); do grep -q -- "$1" "$work/board" 2>/dev/null && return; sleep 0.1; done
  echo "not seen: $1"; cat "$work/board" "$work/service"; exit 1
}
eval "exec $(cmd 'build/host/tools/kvosim --board') --no-color" >"$work/board" 2>&1 &
board=$!
see "^export KVO_ROOT=$work/root\$"
eval "$(cmd 'export KVO_ROOT=')"
mkfifo "$work/keys"
eval "$(cmd 'KVO_LOG_TARGET=stderr build/host/emu/kvocrkey')" <"$work/keys" >"$work/service" 2>&1 &
svc=$!
exec 3>"$work/keys"
see 'kvosts   600 start-up report, result 000'
echo press >&3
see 'kvoek    356 button pressed'
see 'kvosts   454 IO status request'
echo release >&3
see '410 IO answer (loop signal), loop state 1 (auto-answer)'
see 'kvoauth  255 guard notice to authentication, notice 1,0'
eval "$(cmd 'build/host/tools/kvomsg send FifoGdbt')"
wait $svc || { echo "kvocrkey: exit status $?"; cat "$work/service"; exit 1; }
see 'kvosts   605 termination report, result 000'
kill -TERM $board
wait $board
board=''
test ! -e "$work/root" || { cat "$work/board"; exit 1; }
