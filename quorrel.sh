#!/bin/sh
# Sets up, builds and runs Quorrel on Debian 12. Installs the Debian packages that are
# missing (with sudo when not run as root), builds in ./build, then:
#
#   ./quorrel.sh                 run the window (./quorrel.sh run does the same)
#   ./quorrel.sh test            run every test
#   ./quorrel.sh scan [ARGS...]  run quorrel-scan (see ./quorrel.sh scan --help)
#   ./quorrel.sh fetch [ARGS...] run quorrel-fetch (see ./quorrel.sh fetch --help)
#   ./quorrel.sh setcap          give the capture helper its capture rights
set -eu

cd "$(dirname "$0")"

packages="build-essential cmake ninja-build pkg-config qt6-base-dev qt6-webengine-dev libpcap-dev libcurl4-openssl-dev libssl-dev libnghttp2-dev nginx-light python3-pyftpdlib openssl
          tcpdump nghttp2-client ffmpeg
          libcap-dev libcap2-bin fonts-noto-cjk curl iputils-ping iproute2 python3 util-linux xvfb xauth"

install_missing() {
    missing=""
    for p in $packages; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing:$missing"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
}

build() {
    cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build build
}

# Only the helper gets capture rights; the window and the tools run as the user. A
# rebuilt helper loses them, so every build grants them again.
grant_capture_rights() {
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo setcap cap_net_raw,cap_net_admin=eip build/bin/quorrel-capture
}

command=${1:-run}
[ $# -gt 0 ] && shift
case "$command" in
run)
    install_missing
    build >/dev/null
    grant_capture_rights
    # The window runs as the user; started through sudo, it goes back to the one who
    # asked. Without a display, run it under xvfb-run.
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
        exec sudo -u "$SUDO_USER" build/bin/quorrel "$@"
    fi
    exec build/bin/quorrel "$@"
    ;;
test)
    install_missing
    build
    ctest --test-dir build --output-on-failure "$@"
    ;;
scan)
    install_missing
    build >/dev/null
    grant_capture_rights
    exec build/bin/quorrel-scan "$@"
    ;;
fetch)
    install_missing
    build >/dev/null
    exec build/bin/quorrel-fetch "$@"
    ;;
setcap)
    install_missing
    build >/dev/null
    grant_capture_rights
    getcap build/bin/quorrel-capture
    ;;
*)
    echo "usage: $0 [run] | test | scan [ARGS...] | fetch [ARGS...] | setcap" >&2
    exit 2
    ;;
esac
