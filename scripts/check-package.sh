#!/bin/bash
# Checks what a user gets from a build: installs it into a temporary prefix
# and checks the installed files (validating the menu entry and the AppStream
# metadata where the validators are installed), builds the Debian package and
# looks inside it, and starts the packaged program once as an installed copy
# whose executable folder nobody can write to.
# Usage: scripts/check-package.sh [build-dir]
set -euo pipefail
build=$(realpath "${1:-build}")
config="$build/generated/BuildConfig.h"
id=$(sed -n 's/^#define CORVID_APP_ID "\(.*\)"$/\1/p' "$config")
version=$(sed -n 's/^#define CORVID_VERSION_STRING "\(.*\)"$/\1/p' "$config")
[ -n "$id" ] && [ -n "$version" ] || { echo "FAIL: no application id or version in $config" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIPPED: $*"; }
have() { command -v "$1" >/dev/null 2>&1; }
files() { (cd "$1" && find . -type f -o -type l | sed 's|^\./||' | sort); }

expected=$(sort <<EOT
bin/corvid
share/applications/$id.desktop
share/icons/hicolor/scalable/apps/$id.svg
share/metainfo/$id.metainfo.xml
EOT
)

# --- install into a temporary prefix ---------------------------------------
prefix="$tmp/prefix"
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; fail "cmake --install"; }
[ "$(files "$prefix")" = "$expected" ] || fail "installed files:"$'\n'"$(files "$prefix")"$'\n'"expected:"$'\n'"$expected"
[ -x "$prefix/bin/corvid" ] || fail "bin/corvid is not executable"
desktop="$prefix/share/applications/$id.desktop"
metainfo="$prefix/share/metainfo/$id.metainfo.xml"
icon="$prefix/share/icons/hicolor/scalable/apps/$id.svg"
grep -qx 'Exec=corvid' "$desktop" || fail "the menu entry does not start the installed binary"
grep -qx "Icon=$id" "$desktop" || fail "the menu entry does not name the icon $id"
grep -q "<id>$id</id>" "$metainfo" || fail "metainfo id is not $id"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "metainfo does not launch $id.desktop"
grep -q "<release version=\"$version\"" "$metainfo" || fail "metainfo has no release $version"
grep -q '<svg' "$icon" || fail "the icon is not an SVG drawing"
echo "installed: $(tr '\n' ' ' <<<"$expected")"

if have desktop-file-validate; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate"
    echo "desktop-file-validate: ok"
else
    skip "desktop-file-validate is not installed (package desktop-file-utils)"
fi
if have appstreamcli; then
    appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
else
    skip "appstreamcli is not installed (package appstream)"
fi

# --- the Debian package ----------------------------------------------------
if ! have dpkg-shlibdeps || ! have file || ! have dpkg-deb; then
    skip "Debian package: dpkg-shlibdeps, dpkg-deb or file is missing (packages dpkg-dev, file)"
    exit 0
fi
(cd "$build" && cpack -G DEB -B "$tmp/pkg") >"$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; fail "cpack -G DEB"; }
deb="$tmp/pkg/corvid_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb"); cpack made: $(ls "$tmp/pkg")"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = corvid ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = net ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ -n "$(field Description)" ] || fail "no Description"
depends=$(field Depends)
# The Qt libraries come from dpkg-shlibdeps; the SVG one is added by hand.
for lib in libc6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6multimedia6 libqt6svg6 libssl3; do
    grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done
root="$tmp/root"
dpkg-deb -x "$deb" "$root"
[ "$(files "$root/usr")" = "$expected" ] || fail "package files:"$'\n'"$(dpkg-deb -c "$deb")"
cmp -s "$desktop" "$root/usr/share/applications/$id.desktop" || fail "the package's menu entry differs from the installed one"
if ldd "$root/usr/bin/corvid" | grep -q 'not found'; then
    fail "the packaged binary misses libraries: $(ldd "$root/usr/bin/corvid" | grep 'not found')"
fi
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes, Installed-Size $(field Installed-Size) KiB"
echo "Depends: $depends"

# --- first start of the installed copy -------------------------------------
# Its folder is made read-only by a bind mount, which root cannot write
# through either, in private mount and network namespaces (no interface is
# up, so nothing the program tries at start can leave them).
if [ "$(id -u)" != 0 ] || ! unshare -m -n true 2>/dev/null; then
    skip "first start: needs root and private mount and network namespaces"
    exit 0
fi
export root
export HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config" XDG_RUNTIME_DIR="$tmp/run"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
unshare -m -n bash -c '
    set -e
    mount --bind "$root/usr" "$root/usr"
    mount -o remount,ro,bind "$root/usr" "$root/usr"
    if touch "$root/usr/bin/probe" 2>/dev/null; then echo "FAIL: the bind mount is writable" >&2; exit 1; fi
    QT_QPA_PLATFORM=offscreen "$root/usr/bin/corvid" >"$HOME/corvid.log" 2>&1 &
    pid=$!
    # The configuration folder is made before the window opens.
    for _ in $(seq 1 100); do
        [ -d "$XDG_CONFIG_HOME/corvid" ] && break
        sleep 0.1
    done
    sleep 1
    alive=0
    kill -0 "$pid" 2>/dev/null && alive=1 && kill "$pid"
    wait "$pid" 2>/dev/null || true
    [ "$alive" = 1 ] || { cat "$HOME/corvid.log" >&2; echo "FAIL: the installed copy did not keep running" >&2; exit 1; }
' || exit 1
[ -d "$XDG_CONFIG_HOME/corvid" ] || fail "the installed copy did not make $XDG_CONFIG_HOME/corvid"
echo "first start: ran with a read-only executable folder; kept files in \$XDG_CONFIG_HOME/corvid: $(ls -A "$XDG_CONFIG_HOME/corvid" | tr '\n' ' ')"
echo "package check: ok"
