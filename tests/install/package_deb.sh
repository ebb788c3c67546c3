#!/usr/bin/env bash
# scripts/package builds a .deb that declares its dependencies and its
# conffile; unpacked into a scratch root (never the real system), its
# kestruned run as the unit runs it serves a SOCKS5 client, reloads on
# SIGHUP and ends with status 0 on SIGTERM.
#
#   package_deb.sh SOURCE_DIR BUILD_DIR gui|nogui
set -u
source_dir=$1
build=$2
gui=$3
for tool in dpkg-deb curl python3; do
  command -v $tool >/dev/null || { echo "$tool not found: skipped"; exit 77; }
done
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do { kill -9 "$pid" && wait "$pid"; } 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }

# Polls a condition until it holds or the deadline (seconds) passes.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.05
  done
}

deb=$("$source_dir/scripts/package" --no-build -o "$work" "$build" | tail -n 1)
if [[ ! -f $deb ]]; then
  echo "FAIL: scripts/package made no .deb"
  exit 1
fi

# Control data.
[[ $(dpkg-deb -f "$deb" Package) == kestrune ]] || bad "package name"
[[ $(dpkg-deb -f "$deb" Architecture) == "$(dpkg --print-architecture)" ]] || bad "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
# The package names alone, without their version constraints.
names=$(sed 's/([^)]*)//g; s/[ ]//g' <<<"$depends" | sed 's/[,|]/\n/g')
required=(libc6 libstdc++6 libpcre2-8-0 adduser)
[[ $gui == gui ]] && required+=(libqt6widgets6)
for dep in "${required[@]}"; do
  grep -qxF "$dep" <<<"$names" || bad "Depends lacks $dep: $depends"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles >"$work/conffiles" 2>/dev/null
grep -qx /etc/kestrune/Kestrune.ini "$work/conffiles" || bad "Kestrune.ini is not a conffile"
for script in postinst prerm postrm; do
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" >"$work/$script" 2>/dev/null
  sh -n "$work/$script" || bad "$script does not parse"
  # Installing the package must not start a proxy server by itself.
  ! grep -Eq 'systemctl (enable|start)|deb-systemd-invoke start' "$work/$script" ||
    bad "$script enables or starts the service"
done

# Every file belongs to root, and the man pages are compressed.
listing=$(dpkg-deb -c "$deb")
if awk '{print $2}' <<<"$listing" | grep -vqx root/root; then bad "files not owned by root"; fi
expected=(./usr/bin/kestruned ./etc/kestrune/Kestrune.ini
  ./usr/lib/systemd/system/kestruned.service ./usr/share/man/man1/kestruned.1.gz)
if [[ $gui == gui ]]; then
  expected+=(./usr/bin/kestrune ./usr/share/applications/kestrune.desktop
    ./usr/share/icons/hicolor/48x48/apps/kestrune.png ./usr/share/man/man1/kestrune.1.gz)
fi
for path in "${expected[@]}"; do
  awk '{print $6}' <<<"$listing" | grep -qxF "$path" || bad "the package lacks $path"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
unit=$root/usr/lib/systemd/system/kestruned.service
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[[ $exec_start == "/usr/bin/kestruned /etc/kestrune/Kestrune.ini" ]] || bad "ExecStart=$exec_start"
read -r program settings <<<"$exec_start"

# A small web server as the target, on a port the system chooses.
mkdir "$work/site"
echo "through the packaged gateway $$" >"$work/site/marker.txt"
python3 -u -m http.server --bind 127.0.0.1 --directory "$work/site" 0 \
  >"$work/http.out" 2>"$work/http.err" &
pids+=($!)
wait_for 10 grep -q 'port [0-9]' "$work/http.out" || { cat "$work/http.err"; bad "no web server"; exit 1; }
http_port=$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$work/http.out" | head -n 1)

# A settings file takes a port number, not 0: ask the system for a free one
# and take another should someone win the race for it.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
# The packaged settings with only the port changed.
settings_with_port() { sed "s/^Port=1080\r\$/Port=$1\r/" "$root$settings" >"$work/Kestrune.ini"; }

started=0
for _ in 1 2 3; do
  port=$(free_port)
  settings_with_port "$port"
  grep -q "^Port=$port" "$work/Kestrune.ini" || { bad "packaged settings have no Port=1080"; break; }
  : >"$work/daemon.out"
  "$root$program" "$work/Kestrune.ini" >"$work/daemon.out" 2>"$work/daemon.err" &
  daemon=$!
  pids+=("$daemon")
  if wait_for 10 grep -Eq '\[Default\] (Started|Listen failed)' "$work/daemon.out" &&
    grep -q '\[Default\] Started' "$work/daemon.out"; then
    started=1
    break
  fi
  kill -TERM "$daemon" 2>/dev/null
  wait "$daemon" 2>/dev/null
done
if ((!started)); then
  cat "$work/daemon.out" "$work/daemon.err"
  bad "kestruned did not start the Default proxy server"
  exit 1
fi

fetch() {
  curl -sS --max-time 10 --socks5-hostname "127.0.0.1:$1" "http://localhost:$http_port/marker.txt"
}
[[ $(fetch "$port") == "through the packaged gateway $$" ]] || bad "SOCKS5 client did not get through on $port"

# Reload: the same process takes up the changed file.
new_port=$(free_port)
settings_with_port "$new_port"
kill -HUP "$daemon"
restarted() { (($(grep -c '\[Default\] Started' "$work/daemon.out") >= 2)); }
wait_for 10 restarted || bad "no restart after SIGHUP"
grep -q "Listen failed" "$work/daemon.out" && bad "listen failed after SIGHUP (port race?)"
[[ $(fetch "$new_port") == "through the packaged gateway $$" ]] || bad "SOCKS5 client did not get through after reload"

kill -TERM "$daemon"
status=124
ended() { ! kill -0 "$daemon" 2>/dev/null; }
if wait_for 10 ended; then
  wait "$daemon"
  status=$?
fi
[[ $status == 0 ]] || bad "SIGTERM ended kestruned with status $status"
grep -q '\[Default\] Stopped' "$work/daemon.out" || bad "no Stopped line"

if ((fail)); then
  echo "--- kestruned output"
  cat "$work/daemon.out" "$work/daemon.err"
fi
exit $fail
