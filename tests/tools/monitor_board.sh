#!/bin/sh
# kvomsg monitor on the real service of the standing controller through a
# guard sequence (loop signal on, then off, an alive request, the terminate):
# the monitor prints every frame the service wrote and read, in order and
# under the right FIFO and module, and the board's peers still got each one
# (its timeline, the same frames in the same order).  Exit 77: tracing is
# not permitted here.  Host only: qemu-user cannot trace processes.
set -eu
build=$1
work=$(mktemp -d) board='' mon=''
trap 'kill $board $mon 2>/dev/null || true; rm -rf "$work"' EXIT
see() { # a line of $1 within twenty seconds
  for _ in $(seq 200); do grep -q -- "$2" "$work/$1" 2>/dev/null && return; sleep 0.1; done
  echo "not seen in $1: $2"; cat "$work/board" "$work/monerr"; exit 1
}
mkfifo "$work/steps"
# A sanitizer build's leak check cannot run in a traced process.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "$build/tools/kvosim" --board --start --no-color \
  --root "$work/root" --answer "454 with 410 state 1" <"$work/steps" >"$work/board" 2>&1 &
board=$!
exec 3>"$work/steps"
see board 'kvogdbt -> kvosts   600 start-up report'
pid=$(sed -n 's/.*# kvogdbt started: pid \([0-9]*\),.*/\1/p' "$work/board")
KVO_ROOT=$work/root "$build/tools/kvomsg" monitor --pid "$pid" >"$work/mon" 2>"$work/monerr" &
mon=$!
see monerr 'kvomsg: monitoring\|cannot monitor'
if grep -q 'cannot monitor' "$work/monerr"; then cat "$work/monerr"; exit 77; fi
dir=$(realpath "$work/root/tmp/pipe")
cat >&3 <<EOF
press
expect auth 255 within 8s
release
answer 454 with 410 state 0
press
expect log 53 within 8s
release
send sts 901
expect sts 621
send sts 900 hex 00
expect sts 605
expect exit 0
EOF
see board 'ok      expect exit 0'
see monerr 'ended (exit status 0)'
wait $mon
mon=''
kill -TERM $board
wait $board
board=''
# Both as "to PEER: COMMAND MEANING" or "from PEER: ...", the start-up report left out.
sed -n -e '/ 600 start-up report/d' -e 's/ (auto-answer)$//' \
  -e 's/^+[0-9.]*s *kvogdbt -> kvo\([a-z]*\) *\([0-9]*\) *\(.*\)/to \1: \2 \3/p' \
  -e 's/^+[0-9.]*s *kvo\([a-z]*\) *-> kvogdbt *\([0-9]*\) *\(.*\)/from \1: \2 \3/p' "$work/board" >"$work/peers"
sed -e "s/^[0-9:.]* Fifo\([A-Za-z]*\) kvogdbt(52) \(.*\) (kvogdbt $pid wrote 256 bytes)\$/to \L\1\E: \2/" \
  -e "s/^[0-9:.]* FifoGdbt kvo\([a-z]*\)([0-9]*) \(.*\) (kvogdbt $pid read 256 bytes)\$/from \1: \2/" \
  "$work/mon" >"$work/seen"
diff "$work/peers" "$work/seen"
test "$(cut -d' ' -f1-3 "$work/seen" | tr '\n' ' ')" = "to ek: 356 to sts: 454 from sts: 410 to auth: 255 \
to ek: 356 to sts: 454 from sts: 410 to disp: 151 to log: 53 from sts: 901 to sts: 621 from sts: 900 to sts: 605 " ||
  { cat "$work/seen"; exit 1; }
printf 'kvomsg: monitoring pid %s (kvogdbt) on %s/ (Ctrl-C to stop)\nkvomsg: pid %s (kvogdbt) ended (exit status 0)\n' \
  "$pid" "$dir" "$pid" | diff - "$work/monerr"
