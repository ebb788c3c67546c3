#!/usr/bin/env bash
# The layer order of src/ holds, and the check catches each kind of breach:
# an include from above, one from a folder beside, and Qt below the window.
set -euo pipefail
root=$1
check=$root/scripts/check-layers

"$check" "$root/src" || { echo "FAIL: src/ breaks the layer order"; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp -r "$root/src" "$tmp/src"
echo '#include "proxy/ProxyServer.h"' >>"$tmp/src/base/Text.cpp"
echo '#include "mapper/PortMapper.h"' >>"$tmp/src/proxy/ProxyServer.cpp"
echo '#include <QString>' >>"$tmp/src/core/Main.cpp"
echo '#include "base/Text.h"' >>"$tmp/src/ui/MainWindow.cpp" # allowed: from below

if out=$("$check" "$tmp/src"); then
    echo "FAIL: the check passed a tree with wrong includes"
    exit 1
fi
expect() {
    grep -qF "$1" <<<"$out" || { echo "FAIL: no line with: $1"; echo "$out"; exit 1; }
}
expect 'base/Text.cpp:'
expect '"proxy/ProxyServer.h" from proxy, which is not below base'
expect 'proxy/ProxyServer.cpp:'
expect '"mapper/PortMapper.h" from mapper, which is not below proxy'
expect 'core/Main.cpp:'
expect '<QString>, a Qt header below ui'
[[ $(wc -l <<<"$out") -eq 3 ]] || { echo "FAIL: expected exactly three faults"; echo "$out"; exit 1; }
echo "layer order holds; three planted faults found"
