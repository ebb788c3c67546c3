#!/usr/bin/env bash
# `cmake --install` into a scratch prefix puts every file where the desktop,
# the man reader and systemd look for it, with the unit pointing at this
# prefix, and a second install keeps the administrator's settings.
#
#   install_tree.sh BUILD_DIR gui|nogui
set -u
build=$1
gui=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/usr/local
fail=0
bad() { echo "FAIL: $*"; fail=1; }

if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  echo "FAIL: cmake --install"
  exit 1
fi

expect_file() { [[ -f $prefix/$1 ]] || bad "missing $1"; }
expect_file bin/kestruned
[[ -x $prefix/bin/kestruned ]] || bad "bin/kestruned is not executable"
expect_file share/man/man1/kestruned.1
expect_file lib/systemd/system/kestruned.service
expect_file etc/kestrune/Kestrune.ini

if [[ $gui == gui ]]; then
  expect_file bin/kestrune
  [[ -x $prefix/bin/kestrune ]] || bad "bin/kestrune is not executable"
  expect_file share/man/man1/kestrune.1
  desktop=$prefix/share/applications/kestrune.desktop
  expect_file share/applications/kestrune.desktop
  for key in 'Exec=kestrune' 'Icon=kestrune' 'Type=Application'; do
    grep -qx "$key" "$desktop" || bad "kestrune.desktop lacks $key"
  done
  grep -Eq '^Categories=(.*;)?Network;' "$desktop" || bad "kestrune.desktop is not in Network"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$desktop" || bad "desktop-file-validate"
  else
    echo "desktop-file-validate not found (desktop-file-utils): not validated"
  fi
  # Each icon is a PNG of the size its directory names.
  for size in 16 32 48 64 128 256; do
    icon=$prefix/share/icons/hicolor/${size}x${size}/apps/kestrune.png
    if [[ ! -f $icon ]]; then
      bad "missing icon ${size}x${size}"
      continue
    fi
    read -r -a head <<<"$(od -An -tu1 -N24 "$icon" | tr '\n' ' ')"
    magic="${head[1]}${head[2]}${head[3]}"  # "PNG" is 80 78 71
    width=$(((head[16] << 24) | (head[17] << 16) | (head[18] << 8) | head[19]))
    height=$(((head[20] << 24) | (head[21] << 16) | (head[22] << 8) | head[23]))
    [[ $magic == 807871 && $width == "$size" && $height == "$size" ]] ||
      bad "icon ${size}x${size} is ${width}x${height} (magic $magic)"
  done
else
  [[ ! -e $prefix/bin/kestrune ]] || bad "bin/kestrune installed without the desktop program"
fi

# The man pages render without complaint.
if command -v groff >/dev/null; then
  for page in "$prefix"/share/man/man1/*.1; do
    warnings=$(groff -man -ww -z "$page" 2>&1)
    [[ -z $warnings ]] || bad "$(basename "$page"): $warnings"
  done
fi

# The unit runs this prefix's program on this prefix's settings, tells
# systemd when it is ready, checks the file before it reloads by SIGHUP, and
# may hold no capability but the one for low ports.
unit=$prefix/lib/systemd/system/kestruned.service
if [[ -f $unit ]]; then
  # shellcheck disable=SC2016 # $MAINPID is for systemd to expand
  for line in \
    "ExecStart=$prefix/bin/kestruned $prefix/etc/kestrune/Kestrune.ini" \
    "ExecReload=$prefix/bin/kestruned --check $prefix/etc/kestrune/Kestrune.ini" \
    'ExecReload=/bin/kill -HUP $MAINPID' \
    'Type=notify' \
    'Restart=on-failure' \
    'NoNewPrivileges=yes' \
    'AmbientCapabilities=CAP_NET_BIND_SERVICE' \
    'CapabilityBoundingSet=CAP_NET_BIND_SERVICE' \
    'WantedBy=multi-user.target'; do
    grep -qxF "$line" "$unit" || bad "kestruned.service lacks '$line'"
  done
  grep -Eq '^(User=[a-z]|DynamicUser=yes)' "$unit" || bad "kestruned.service runs as root"
  if grep -E '^(AmbientCapabilities|CapabilityBoundingSet)=' "$unit" | grep -v 'CAP_NET_BIND_SERVICE$'; then
    bad "kestruned.service grants more than CAP_NET_BIND_SERVICE"
  fi
  if command -v systemd-analyze >/dev/null; then
    # Without a running systemd only the parse is meaningful: any complaint
    # about a line of the unit counts.
    complaints=$(systemd-analyze verify --man=no "$unit" 2>&1 | grep -F "$unit:")
    [[ -z $complaints ]] || bad "systemd-analyze: $complaints"
  fi
fi

# The packaged settings are what the desktop program would write.
ini=$prefix/etc/kestrune/Kestrune.ini
if [[ -f $ini ]]; then
  [[ $(od -An -tx1 -N3 "$ini" | tr -d ' ') == efbbbf ]] || bad "Kestrune.ini has no UTF-8 mark"
  [[ $(grep -c $'\r$' "$ini") == $(wc -l <"$ini") ]] || bad "Kestrune.ini lines do not end in CR LF"
fi

# The installed service program starts at all (no build-tree paths).
"$prefix/bin/kestruned" --help >/dev/null || bad "installed kestruned --help"

# Installing again leaves edited settings alone.
if [[ -f $ini ]]; then
  printf '; edited\r\n' >>"$ini"
  cmake --install "$build" --prefix "$prefix" >"$work/install2.log" 2>&1 || bad "second install"
  grep -q '^; edited' "$ini" || bad "a second install overwrote the settings"
fi

exit $fail
