#!/bin/sh
# kvomsg monitor on the real service of the standing controller through a guard sequence:
# every frame the service wrote and read, in order, under the right FIFO and module, while
# the board's peers still got each one.  The first half is followed with --registers, which
# a second monitor cannot join and Ctrl-C leaves untraced and running; the second half with
# the kernel's call information.  Exit 77: tracing is not permitted here.  Host only.
set -eu
build=$1
work=$(mktemp -d) board='' mon=''
trap 'kill $board $mon 2>/dev/null || true; rm -rf "$work"' EXIT
see() { # a line of $1 within twenty seconds
  for _ in $(seq 200); do grep -q -- "$2" "$work/$1" 2>/dev/null && return; sleep 0.1; done
  echo "not seen in $1: $2"; cat "$work/board" "$work"/err*; exit 1
}
monitor() { # $1 the run, then its options
  n=$1 && shift
  KVO_ROOT=$work/root "$build/tools/kvomsg" monitor --pid "$pid" "$@" >"$work/out$n" 2>"$work/err$n" &
  mon=$!
  see "err$n" 'kvomsg: monitoring\|cannot monitor'
  if grep -q 'cannot monitor' "$work/err$n"; then cat "$work/err$n"; exit 77; fi
}
mkfifo "$work/steps"
# A sanitizer build's leak check cannot run in a traced process.
ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 "$build/tools/kvosim" --board --start --no-color \
  --root "$work/root" --answer "454 with 410 state 1" <"$work/steps" >"$work/board" 2>&1 &
board=$!
exec 3>"$work/steps"
see board 'kvogdbt -> kvosts   600 start-up report'
pid=$(sed -n 's/.*# kvogdbt started: pid \([0-9]*\),.*/\1/p' "$work/board")
label="pid $pid (kvogdbt)" dir=$(realpath "$work/root/tmp/pipe")
monitor 1 --registers
if KVO_ROOT=$work/root "$build/tools/kvomsg" monitor --pid "$pid" 2>"$work/second"; then exit 1; fi
echo "kvomsg: cannot monitor $label: it is traced already, by pid $mon (kvomsg)" | diff - "$work/second"
printf 'press\nexpect auth 255 within 8s\nrelease\n' >&3
see board 'ok *expect auth 255'
kill -INT $mon && wait $mon
grep -q '^TracerPid:.0$' "/proc/$pid/status" && ! grep -q '^State:.[tT]' "/proc/$pid/status"
monitor 2
printf '%s\n' 'answer 454 with 410 state 0' press 'expect log 53 within 8s' release 'send sts 901' \
  'expect sts 621' 'send sts 900 hex 00' 'expect sts 605' 'expect exit 0' >&3
see board 'ok      expect exit 0'
see err2 'ended (exit status 0)'
wait $mon
kill -TERM $board && wait $board
mon='' board=''
# Both as "to PEER: COMMAND MEANING" or "from PEER: ...", the start-up report left out.
sed -n -e '/ 600 start-up report/d' -e 's/ (auto-answer)$//' \
  -e 's/^+[0-9.]*s *kvogdbt -> kvo\([a-z]*\) *\([0-9]*\) *\(.*\)/to \1: \2 \3/p' \
  -e 's/^+[0-9.]*s *kvo\([a-z]*\) *-> kvogdbt *\([0-9]*\) *\(.*\)/from \1: \2 \3/p' "$work/board" >"$work/peers"
cat "$work/out1" "$work/out2" | sed \
  -e "s/^[0-9:.]* Fifo\([A-Za-z]*\) kvogdbt(52) \(.*\) (kvogdbt $pid wrote 256 bytes)\$/to \L\1\E: \2/" \
  -e "s/^[0-9:.]* FifoGdbt kvo\([a-z]*\)([0-9]*) \(.*\) (kvogdbt $pid read 256 bytes)\$/from \1: \2/" >"$work/seen"
diff "$work/peers" "$work/seen"
test "$(cut -d' ' -f1-3 "$work/seen" | tr '\n' ' ')" = "to ek: 356 to sts: 454 from sts: 410 to auth: 255 \
to ek: 356 to sts: 454 from sts: 410 to disp: 151 to log: 53 from sts: 901 to sts: 621 from sts: 900 to sts: 605 " ||
  { cat "$work/seen"; exit 1; }
start="kvomsg: monitoring $label on $dir/ (Ctrl-C to stop)"
printf '%s\nkvomsg: detached from %s\n%s\nkvomsg: %s ended (exit status 0)\n' "$start" "$label" "$start" "$label" \
  >"$work/want"
cat "$work/err1" "$work/err2" | diff "$work/want" -
