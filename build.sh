#!/usr/bin/env bash
# Pixelvane's one entry point:
#   ./build.sh run     install what is missing, build, open the window
#   ./build.sh test    install what is missing, build, run every test
#   ./build.sh bench   install what is missing, build, run the benchmark
#   ./build.sh package install what is missing, build, make build/pixelvane_*.deb
set -euo pipefail
cd "$(dirname "$0")"

build_packages=(cmake g++ make pkg-config qt6-base-dev qt6-qpa-plugins qt6-image-formats-plugins
                libgl-dev libjpeg62-turbo-dev libgif-dev libpng-dev libheif-dev libde265-dev libwebp-dev libxxhash-dev liblcms2-dev zlib1g-dev libjxl-dev libexif-dev help2man qt6-translations-l10n fonts-noto-cjk)
test_packages=(libjpeg-turbo-progs desktop-file-utils appstream dpkg-dev clang libclang-rt-14-dev python3 exfatprogs exfat-fuse bindfs fuse3 e2fsprogs attr sshfs openssh-sftp-server
               slurm-wlm munge openssh-server openssh-client parallel rsync iproute2)
package_packages=(dpkg-dev)
bench_packages=(imagemagick libvips-tools python3-pil libjpeg-turbo-progs time)

install_missing() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "build.sh: missing packages: ${missing[*]} (run as root, or install them first)" >&2
        exit 1
    fi
    echo "build.sh: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

build() {
    local dir=$1; shift
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}

case "${1:-}" in
run)
    install_missing "${build_packages[@]}"
    build build
    cmake --install build --prefix build/install >/dev/null
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
        echo "build.sh: no display found; on a machine without one run: xvfb-run -a ./build.sh run" >&2
        exit 1
    fi
    exec build/install/bin/pixelvane
    ;;
test)
    install_missing "${build_packages[@]}" "${test_packages[@]}"
    export QT_QPA_PLATFORM=offscreen
    echo "== tests"
    build build
    ctest --test-dir build --output-on-failure -j2
    echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    build build-asan -DPIXELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
    LSAN_OPTIONS="suppressions=$(pwd)/tests/lsan.supp" UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        ctest --test-dir build-asan --output-on-failure -j2
    echo "== fuzzing"
    CXX=clang++ build build-fuzz -DPIXELVANE_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
    tests/fuzz/run.sh build-fuzz "${FUZZ_SECONDS:-60}"
    ;;
bench)
    install_missing "${build_packages[@]}" "${bench_packages[@]}"
    # sharp comes from npm: Debian's node only where the machine has none.
    command -v node >/dev/null || install_missing nodejs npm
    build build
    exec bench/run.sh build
    ;;
package)
    install_missing "${build_packages[@]}" "${package_packages[@]}"
    build build
    (cd build && cpack -G DEB >/dev/null)
    echo "build.sh: made $(ls build/pixelvane_*.deb); install it with: apt install ./$(ls build/pixelvane_*.deb)"
    ;;
*)
    echo "usage: ./build.sh run | test | bench | package" >&2
    exit 2
    ;;
esac
