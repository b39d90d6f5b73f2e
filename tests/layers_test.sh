#!/usr/bin/env bash
# The layers hold: the batch command loads no widgets, and the layer check
# stops a source that includes above its layer.
#   tests/layers_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2

needed=$(readelf -d "$build/pixelvane-batch" | grep NEEDED)
if grep -q 'libQt6Widgets' <<<"$needed"; then
    echo "pixelvane-batch loads Qt Widgets:"; echo "$needed"; exit 1
fi
if readelf -d "$build/pixelvane-decode" | grep NEEDED | grep -q 'libQt6Widgets'; then
    echo "pixelvane-decode loads Qt Widgets"; exit 1
fi
grep -q 'libQt6Widgets' <(readelf -d "$build/pixelvane" | grep NEEDED) || { echo "readelf found no widgets in the window either"; exit 1; }

tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
check() { cmake -DSOURCE_DIR="$tree" -P "$source/cmake/checklayers.cmake" >/dev/null 2>&1; }
mkdir -p "$tree/edit" "$tree/files" "$tree/app"
echo '#include "edit/rounding.h"' > "$tree/files/ok.cpp"
echo '#include <QtWidgets/QWidget>' > "$tree/app/ok.cpp"
check || { echo "the layer check refused a clean tree"; exit 1; }
for bad in 'edit/x.h:#include "files/picture.h"' 'files/x.cpp:#include "app/form1.h"' \
           'files/y.cpp:#include <QtWidgets/QWidget>' 'edit/y.cpp:#include <QtGui/QImage>'; do
    file=${bad%%:*}
    echo "${bad#*:}" > "$tree/$file"
    if check; then echo "the layer check let through: $bad"; exit 1; fi
    rm "$tree/$file"
done
echo "layers hold"
