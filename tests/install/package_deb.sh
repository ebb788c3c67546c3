#!/usr/bin/env bash
# scripts/package builds the .debs with dpkg-buildpackage: kestruned (the
# service, with nothing of Qt or GL among its dependencies, its unit, its
# settings as a conffile and its system user; it takes these over from the
# single package kestrune of earlier versions) and, when the build tree has
# the desktop program, kestrune (the window, its menu entry, icons and man
# page, at the same version as kestruned). Both carry the version of
# CMakeLists.txt and pass lintian (when installed) without an error or a
# warning. The service is installed without being enabled or started.
# Unpacked into a scratch root (never the real system), the packaged
# kestruned run as the unit runs it passes --check, serves a SOCKS5 client,
# reloads on SIGHUP and ends with status 0 on SIGTERM.
#
# Without the desktop program in the build tree only kestruned is built
# (profile pkg.kestrune.nogui). About two and a half minutes on two cores
# with the desktop program.
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
mapfile -t debs < <("$source_dir/scripts/package" "${options[@]}" | grep '\.deb$')
echo "built ${debs[*]##*/} in $((SECONDS - started)) s"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)
daemon_deb=$work/kestruned_${version}_${arch}.deb
gui_deb=$work/kestrune_${version}_${arch}.deb
wanted=("$daemon_deb")
((full)) && wanted+=("$gui_deb")
if [[ ${debs[*]} != "${wanted[*]}" ]]; then
  echo "FAIL: scripts/package made ${debs[*]:-nothing}, not ${wanted[*]}"
  exit 1
fi

# The names of the packages a Depends-like field lists.
names() { sed 's/([^)]*)//g; s/[ ]//g' <<<"$1" | sed 's/[,|]/\n/g'; }
# listed DEB PATH: the package holds the file or directory PATH.
listed() { dpkg-deb -c "$1" | awk '{print $6}' | sed 's,/$,,' | grep -qxF "$2"; }

# Control data of each: the one version, real dependencies, root's files.
for deb in "${wanted[@]}"; do
  name=$(basename "$deb" | cut -d_ -f1)
  [[ $(dpkg-deb -f "$deb" Package) == "$name" ]] || bad "package name of $deb"
  [[ $(dpkg-deb -f "$deb" Version) == "$version" ]] ||
    bad "$name: version $(dpkg-deb -f "$deb" Version), CMake says $version"
  [[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || bad "$name: architecture"
  [[ $(dpkg-deb -f "$deb" Maintainer) != *@localhost* ]] || bad "$name: maintainer on localhost"
  if dpkg-deb -c "$deb" | awk '{print $2}' | grep -vqx root/root; then bad "$name: files not owned by root"; fi
  listed "$deb" "./usr/share/doc/$name/copyright" || bad "$name lacks its copyright file"
  for script in preinst postinst prerm postrm; do
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" >"$work/$name.$script" 2>/dev/null || continue
    sh -n "$work/$name.$script" || bad "$name: $script does not parse"
    # Installing a package must not start a proxy server by itself.
    # (debhelper's snippet enables it again only where it was enabled before.)
    ! grep -Eq 'systemctl (enable|start)|deb-systemd-invoke (start|restart)' "$work/$name.$script" ||
      bad "$name: $script enables or starts the service"
  done
  if command -v lintian >/dev/null; then
    lintian --fail-on error,warning "$deb" >"$work/lintian.out" 2>&1 ||
      { cat "$work/lintian.out"; bad "lintian $name"; }
  fi
done
command -v lintian >/dev/null || echo "lintian not found: not run"

# kestruned: the service's files, its libraries and nothing graphical.
depends=$(dpkg-deb -f "$daemon_deb" Depends)
for dep in libc6 libstdc++6 libpcre2-8-0 libsystemd0 systemd; do
  names "$depends" | grep -qxF "$dep" || bad "kestruned Depends lacks $dep: $depends"
done
! names "$depends" | grep -Eq '^(libqt|qt6|libgl|libegl|libopengl|libx|libxcb|libwayland)' ||
  bad "kestruned depends on a graphical library: $depends"
for field in Replaces Breaks; do
  [[ $(dpkg-deb -f "$daemon_deb" $field) == 'kestrune (<< 0.3.0~)' ]] ||
    bad "kestruned $field: $(dpkg-deb -f "$daemon_deb" $field)"
done
dpkg-deb --ctrl-tarfile "$daemon_deb" | tar -xO ./conffiles >"$work/conffiles" 2>/dev/null
[[ $(cat "$work/conffiles") == /etc/kestrune/Kestrune.ini ]] ||
  bad "kestruned conffiles: $(cat "$work/conffiles")"
grep -q 'dpkg-statoverride --update --add root kestrune 0640 /etc/kestrune/Kestrune.ini' \
  "$work/kestruned.postinst" || bad "postinst does not restrict the settings to the kestrune group"
grep -q 'systemd-sysusers' "$work/kestruned.postinst" || bad "postinst does not create the system user"
for path in ./usr/bin/kestruned ./etc/kestrune/Kestrune.ini ./lib/systemd/system/kestruned.service \
  ./usr/lib/sysusers.d/kestruned.conf ./usr/share/man/man1/kestruned.1.gz \
  ./usr/share/doc/kestruned/changelog.gz; do
  listed "$daemon_deb" "$path" || bad "kestruned lacks $path"
done
for path in ./usr/bin/kestrune ./usr/share/applications ./usr/share/icons; do
  ! listed "$daemon_deb" "$path" || bad "kestruned holds $path"
done

# kestrune: the window's files only, and kestruned at its own version.
if ((full)); then
  depends=$(dpkg-deb -f "$gui_deb" Depends)
  names "$depends" | grep -qxF libqt6widgets6 || bad "kestrune Depends lacks libqt6widgets6: $depends"
  grep -qF "kestruned (= $version)" <<<"$depends" || bad "kestrune does not depend on kestruned (= $version)"
  for path in ./usr/bin/kestrune ./usr/share/applications/kestrune.desktop \
    ./usr/share/icons/hicolor/48x48/apps/kestrune.png ./usr/share/man/man1/kestrune.1.gz; do
    listed "$gui_deb" "$path" || bad "kestrune lacks $path"
  done
  for path in ./usr/bin/kestruned ./etc ./lib ./usr/lib/sysusers.d; do
    ! listed "$gui_deb" "$path" || bad "kestrune holds $path"
  done
  ! dpkg-deb --ctrl-tarfile "$gui_deb" | tar -t 2>/dev/null | grep -qx ./conffiles ||
    bad "kestrune has conffiles"
fi

root=$work/root
dpkg-deb -x "$daemon_deb" "$root"
grep -q '^License: Expat' "$root/usr/share/doc/kestruned/copyright" || bad "copyright: no MIT (Expat) license"
grep -Eq '^u kestrune ' "$root/usr/lib/sysusers.d/kestruned.conf" || bad "sysusers.d: no user kestrune"
unit=$root/lib/systemd/system/kestruned.service
grep -qx 'Type=notify' "$unit" || bad "the unit is not Type=notify"
grep -qx 'ExecReload=/usr/bin/kestruned --check /etc/kestrune/Kestrune.ini' "$unit" ||
  bad "the unit does not check the file before a reload"
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
[[ $exec_start == "/usr/bin/kestruned /etc/kestrune/Kestrune.ini" ]] || bad "ExecStart=$exec_start"
read -r program settings <<<"$exec_start"
[[ $("$root$program" --version) == "kestruned $version" ]] || bad "kestruned --version"
"$root$program" --check "$root$settings" >"$work/check.out" || bad "the packaged settings fail --check"

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
