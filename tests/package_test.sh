#!/usr/bin/env bash
# Builds the .deb from a build tree and checks what it installs and what it
# declares it needs.
#   tests/package_test.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$out" && cpack -G DEB --config "$build/CPackConfig.cmake" >/dev/null)
deb=$(ls "$out"/pixelvane_*_*.deb)
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for f in ./usr/bin/pixelvane ./usr/bin/pixelvane-batch ./usr/libexec/pixelvane/pixelvane-decode ./usr/share/applications/pixelvane.desktop \
         ./usr/share/icons/hicolor/scalable/apps/pixelvane.svg ./usr/share/man/man1/pixelvane-batch.1 \
         ./usr/share/metainfo/org.pixelvane.pixelvane.metainfo.xml ./usr/share/doc/pixelvane/copyright; do
    grep -qx -- "$f" <<<"$files" || { echo "the package lacks $f"; exit 1; }
done
if grep -q 'scenario\|/tst_\|bench' <<<"$files"; then echo "the package holds test programs"; exit 1; fi
depends=$(dpkg-deb -f "$deb" Depends)
for d in libqt6widgets6 libqt6gui6 libjpeg62-turbo libgif7 liblcms2-2 fonts-noto-cjk qt6-translations-l10n; do
    grep -q "\b$d\b" <<<"$depends" || { echo "the package does not depend on $d: $depends"; exit 1; }
done
dpkg-deb -f "$deb" Package Version Architecture Maintainer Description >/dev/null
echo "package complete: $(basename "$deb")"
