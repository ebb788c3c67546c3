#!/usr/bin/env bash
# Each of SIGINT, SIGTERM and SIGHUP ends the desktop program with status 0,
# without the exit question (which would block here for ever).
set -u
program=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$program" "$work/kestrune"
fail=0
for sig in INT TERM HUP; do
  "$work/kestrune" >"$work/out" 2>&1 &
  pid=$!
  # Wait until the program is up (its event loop runs) before signalling.
  for _ in $(seq 1 400); do
    # Ready once HUP, INT and TERM (bits 0, 1, 14) are caught.
    caught=$(awk '/^SigCgt:/ {print $2}' /proc/$pid/status 2>/dev/null)
    if [ -n "$caught" ] && (( (16#$caught & 0x4003) == 0x4003 )); then break; fi
    sleep 0.05
  done
  kill -s "$sig" "$pid"
  status=124
  for _ in $(seq 1 400); do
    if ! kill -0 "$pid" 2>/dev/null; then wait "$pid"; status=$?; break; fi
    sleep 0.05
  done
  if [ "$status" -ne 0 ]; then
    echo "SIG$sig: exit status $status"; cat "$work/out"; kill -9 "$pid" 2>/dev/null; fail=1
  else
    echo "SIG$sig: exit status 0"
  fi
done
exit $fail
