#!/usr/bin/env bash
# scripts/package builds the .deb with dpkg-buildpackage; the package carries
# the version of CMakeLists.txt, declares its dependencies, its conffile and
# its system user, installs the unit without enabling or starting it, and
# passes lintian (when installed) without an error or a warning. Unpacked
# into a scratch root (never the real system), its kestruned run as the unit
# runs it passes --check, serves a SOCKS5 client, reloads on SIGHUP and ends
# with status 0 on SIGTERM.
#
# The package holds what the build tree holds: with the desktop program
# when the tree has it, else the service alone (profile pkg.kestrune.nogui).
# About two and a half minutes on two cores with the desktop program.
#
#   package_deb.sh SOURCE_DIR BUILD_DIR
set -u
source_dir=$1
build=$2
for tool in dpkg-buildpackage dh dpkg-deb curl python3; do
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

full=0
grep -q '^KESTRUNE_GUI:BOOL=ON' "$build/CMakeCache.txt" && full=1
options=(-o "$work")
((full)) || options+=(--nogui)
started=$SECONDS
deb=$("$source_dir/scripts/package" "${options[@]}" | tail -n 1)
if [[ ! -f $deb ]]; then
  echo "FAIL: scripts/package made no .deb"
  exit 1
fi
echo "built $(basename "$deb") in $((SECONDS - started)) s"

# Control data: the one version, real dependencies.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
[[ $(dpkg-deb -f "$deb" Package) == kestrune ]] || bad "package name"
[[ $(dpkg-deb -f "$deb" Version) == "$version" ]] ||
  bad "package version $(dpkg-deb -f "$deb" Version), CMake says $version"
[[ $(dpkg-deb -f "$deb" Architecture) == "$(dpkg --print-architecture)" ]] || bad "architecture"
[[ $(dpkg-deb -f "$deb" Maintainer) != *@localhost* ]] || bad "maintainer on localhost"
depends=$(dpkg-deb -f "$deb" Depends)
names=$(sed 's/([^)]*)//g; s/[ ]//g' <<<"$depends" | sed 's/[,|]/\n/g')
required=(libc6 libstdc++6 libpcre2-8-0 libsystemd0 systemd)
((full)) && required+=(libqt6widgets6)
for dep in "${required[@]}"; do
  grep -qxF "$dep" <<<"$names" || bad "Depends lacks $dep: $depends"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles >"$work/conffiles" 2>/dev/null
grep -qx /etc/kestrune/Kestrune.ini "$work/conffiles" || bad "Kestrune.ini is not a conffile"
for script in preinst postinst prerm postrm; do
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" >"$work/$script" 2>/dev/null || continue
  sh -n "$work/$script" || bad "$script does not parse"
  # Installing the package must not start a proxy server by itself.
  # (debhelper's snippet enables it again only where it was enabled before.)
  ! grep -Eq 'systemctl (enable|start)|deb-systemd-invoke (start|restart)' "$work/$script" ||
    bad "$script enables or starts the service"
done
grep -q 'dpkg-statoverride --update --add root kestrune 0640 /etc/kestrune/Kestrune.ini' \
  "$work/postinst" || bad "postinst does not restrict the settings to the kestrune group"
grep -q 'systemd-sysusers' "$work/postinst" || bad "postinst does not create the system user"

# Files: owned by root, where Debian wants them.
listing=$(dpkg-deb -c "$deb")
if awk '{print $2}' <<<"$listing" | grep -vqx root/root; then bad "files not owned by root"; fi
expected=(./usr/bin/kestruned ./etc/kestrune/Kestrune.ini ./lib/systemd/system/kestruned.service
  ./usr/lib/sysusers.d/kestrune.conf ./usr/share/man/man1/kestruned.1.gz
  ./usr/share/doc/kestrune/copyright ./usr/share/doc/kestrune/changelog.gz)
if ((full)); then
  expected+=(./usr/bin/kestrune ./usr/share/applications/kestrune.desktop
    ./usr/share/icons/hicolor/48x48/apps/kestrune.png ./usr/share/man/man1/kestrune.1.gz)
fi
for path in "${expected[@]}"; do
  awk '{print $6}' <<<"$listing" | grep -qxF "$path" || bad "the package lacks $path"
done

root=$work/root
dpkg-deb -x "$deb" "$root"
grep -q '^License: Expat' "$root/usr/share/doc/kestrune/copyright" || bad "copyright: no MIT (Expat) license"
grep -Eq '^u kestrune ' "$root/usr/lib/sysusers.d/kestrune.conf" || bad "sysusers.d: no user kestrune"
unit=$root/lib/systemd/system/kestruned.service
grep -qx 'Type=notify' "$unit" || bad "the unit is not Type=notify"
grep -qx 'ExecReload=/usr/bin/kestruned --check /etc/kestrune/Kestrune.ini' "$unit" ||
  bad "the unit does not check the file before a reload"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[[ $exec_start == "/usr/bin/kestruned /etc/kestrune/Kestrune.ini" ]] || bad "ExecStart=$exec_start"
read -r program settings <<<"$exec_start"
[[ $("$root$program" --version) == "kestruned $version" ]] || bad "kestruned --version"
"$root$program" --check "$root$settings" >"$work/check.out" || bad "the packaged settings fail --check"

if command -v lintian >/dev/null; then
  lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1 ||
    { cat "$work/lintian.out"; bad "lintian"; }
else
  echo "lintian not found: not run"
fi

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
reloaded() { grep -q 'Settings reloaded: 0 unchanged, 1 restarted' "$work/daemon.out"; }
wait_for 10 reloaded || bad "no restart after SIGHUP"
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
