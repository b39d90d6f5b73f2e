#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop needs:
# the program on the PATH, a valid launcher under Graphics, and the icon.
set -euo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/pixelvane" || { echo "no bin/pixelvane"; exit 1; }
test -x "$prefix/bin/pixelvane-batch" || { echo "no bin/pixelvane-batch"; exit 1; }
test -x "$prefix/libexec/pixelvane/pixelvane-decode" || { echo "no libexec/pixelvane/pixelvane-decode"; exit 1; }
man="$prefix/share/man/man1/pixelvane-batch.1"
test -s "$man" || { echo "no manual page for pixelvane-batch"; exit 1; }
grep -q 'shrink.* WxH' "$man" || { echo "the manual page lacks the options"; exit 1; }
desktop="$prefix/share/applications/pixelvane.desktop"
test -f "$desktop" || { echo "no launcher"; exit 1; }
desktop-file-validate "$desktop"
grep -q '^Categories=.*Graphics;' "$desktop" || { echo "launcher not under Graphics"; exit 1; }
grep -q '^Name\[ja\]=' "$desktop" || { echo "launcher has no Japanese name"; exit 1; }
grep -q '^Icon=pixelvane$' "$desktop" || { echo "launcher names another icon"; exit 1; }
icon="$prefix/share/icons/hicolor/scalable/apps/pixelvane.svg"
test -s "$icon" || { echo "no icon"; exit 1; }
grep -q '<svg' "$icon" || { echo "icon is not SVG"; exit 1; }
metainfo="$prefix/share/metainfo/org.pixelvane.pixelvane.metainfo.xml"
test -s "$metainfo" || { echo "no AppStream metainfo"; exit 1; }
appstreamcli validate --no-net "$metainfo" >/dev/null || { appstreamcli validate --no-net "$metainfo"; exit 1; }
grep -q '<launchable type="desktop-id">pixelvane.desktop</launchable>' "$metainfo" || { echo "metainfo names another launcher"; exit 1; }
grep -q 'MIT' "$prefix/share/doc/pixelvane/copyright" || { echo "no licence"; exit 1; }
echo "installed tree complete"
