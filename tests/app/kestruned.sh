#!/usr/bin/env bash
# kestruned end to end: a settings file with a port mapper and a SOCKS5 proxy
# server; curl through the proxy and through the mapper reach a local HTTP
# server; the connected and disconnected lines appear on standard output;
# SIGHUP reloads (an unchanged file changes nothing); SIGTERM ends the program with status 0 within 2 seconds.
set -u
kestruned=$1
work=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do { kill -9 "$p"; wait "$p"; } 2>/dev/null; done; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; echo "--- output:"; cat "$work/out"; exit 1; }

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
  local until=$((SECONDS + $1)); shift
  while ! "$@" 2>/dev/null; do (( SECONDS < until )) || return 1; sleep 0.05; done
}
count_at_least() { # count_at_least N PATTERN: the output holds N matching lines
  (( $(grep -c "$2" "$work/out") >= $1 ))
}

http=$(free_port); proxy=$(free_port); mapper=$(free_port)
mkdir "$work/www" && echo "hello through kestrune" > "$work/www/index.html"
python3 -m http.server "$http" --bind 127.0.0.1 --directory "$work/www" >/dev/null 2>&1 &
pids+=($!)
printf '[Kestrune]\r\nTime=hh:nn:ss\r\n[Proxy]\r\nType=Proxy\r\nHost=127.0.0.1\r\nPort=%s\r\n[Map]\r\nType=Mapper\r\nOwnHost=127.0.0.1\r\nOwnPort=%s\r\nMapHost=127.0.0.1\r\nMapPort=%s\r\n' \
  "$proxy" "$mapper" "$http" > "$work/Kestrune.ini"
cp "$work/Kestrune.ini" "$work/original.ini"

"$kestruned" "$work/Kestrune.ini" > "$work/out" 2>&1 &
kd=$!; pids+=($kd)
wait_for 10 grep -q "\[Map\] Started" "$work/out" || fail "services did not start"
wait_for 10 curl -sf http://127.0.0.1:$http/ -o /dev/null || fail "http server not up"

body=$(curl -s --max-time 10 --socks5-hostname "127.0.0.1:$proxy" "http://localhost:$http/")
[ "$body" = "hello through kestrune" ] || fail "proxy: got '$body'"
body=$(curl -s --max-time 10 "http://127.0.0.1:$mapper/")
[ "$body" = "hello through kestrune" ] || fail "mapper: got '$body'"
wait_for 5 grep -q "\[Map\] Disconnected: 127.0.0.1:" "$work/out" || fail "no mapper disconnected line"
grep -Eq '^\[[0-9]{2}:[0-9]{2}:[0-9]{2}\] \[Proxy\] Connected: 127\.0\.0\.1:[0-9]+$' "$work/out" ||
  fail "no proxy connected line"
grep -q "\[Proxy\] Disconnected: 127.0.0.1:" "$work/out" || fail "no proxy disconnected line"

kill -HUP $kd
wait_for 10 grep -q 'Settings reloaded: 2 unchanged, 0 restarted, 0 stopped, 0 started' "$work/out" ||
  fail "no reload on SIGHUP"
body=$(curl -s --max-time 10 --socks5-hostname "127.0.0.1:$proxy" "http://localhost:$http/")
[ "$body" = "hello through kestrune" ] || fail "proxy after reload: got '$body'"

start=$(date +%s%N)
kill -TERM $kd
status=124
for _ in $(seq 1 40); do
  if ! kill -0 $kd 2>/dev/null; then wait $kd; status=$?; break; fi
  sleep 0.05
done
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$status" -eq 0 ] || fail "exit status $status after SIGTERM"
[ "$elapsed" -lt 2000 ] || fail "took ${elapsed} ms to stop"
grep -q "\[Proxy\] Stopped" "$work/out" || fail "no stopped line"
cmp -s "$work/Kestrune.ini" "$work/original.ini" || fail "the settings file was rewritten"
echo "kestruned: ok (stopped in ${elapsed} ms)"
