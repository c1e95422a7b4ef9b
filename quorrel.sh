#!/bin/sh
# Sets up, builds and runs Quorrel on Debian 12. Installs the Debian packages that are
# missing (with sudo when not run as root), builds in ./build, then:
#
#   ./quorrel.sh                 run the window (./quorrel.sh run does the same)
#   ./quorrel.sh test            run every test
#   ./quorrel.sh scan [ARGS...]  run quorrel-scan (see ./quorrel.sh scan --help)
#   ./quorrel.sh fetch [ARGS...] run quorrel-fetch (see ./quorrel.sh fetch --help)
#   ./quorrel.sh setcap          give the capture helper its capture rights (group quorrel)
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

# Capture rights belong to one small helper, and only the members of the group quorrel may
# run it: root:quorrel, mode 0750, then cap_net_raw and cap_net_admin, as capture programs
# are set up on Linux. The user who runs the set-up joins the group. A rebuilt helper loses
# all this, so every build sets it again.
grant_capture_rights() {
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    getent group quorrel >/dev/null || $sudo groupadd --system quorrel
    user=${SUDO_USER:-$(id -un)}
    if [ "$user" != root ] && ! id -nG "$user" | tr ' ' '\n' | grep -qx quorrel; then
        $sudo usermod -a -G quorrel "$user"
        echo "Added $user to the group quorrel: members may capture." >&2
    fi
    # chown clears file capabilities: setcap comes last.
    $sudo chown root:quorrel build/bin/quorrel-capture
    $sudo chmod 0750 build/bin/quorrel-capture
    $sudo setcap cap_net_raw,cap_net_admin=eip build/bin/quorrel-capture
}

# Each argument in single quotes, for sg's command line.
quoted() {
    for arg; do
        printf "'%s' " "$(printf '%s' "$arg" | sed "s/'/'\\\\''/g")"
    done
}

# Runs a program in the group quorrel. A user added to it just now has the group only
# after logging in again; sg gives it to this one program at once.
exec_in_group() {
    if [ "$(id -u)" -ne 0 ] && ! id -nG | tr ' ' '\n' | grep -qx quorrel; then
        exec sg quorrel -c "exec $(quoted "$@")"
    fi
    exec "$@"
}

command=${1:-run}
[ $# -gt 0 ] && shift
case "$command" in
run)
    install_missing
    build >/dev/null
    grant_capture_rights
    # The window runs as the user; started through sudo, it goes back to the one who
    # asked (sudo reads the user's groups afresh: quorrel is among them). Without a
    # display, run it under xvfb-run.
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
        exec sudo -u "$SUDO_USER" build/bin/quorrel "$@"
    fi
    exec_in_group build/bin/quorrel "$@"
    ;;
test)
    install_missing
    build
    grant_capture_rights
    ctest --test-dir build --output-on-failure "$@"
    ;;
scan)
    install_missing
    build >/dev/null
    grant_capture_rights
    exec_in_group build/bin/quorrel-scan "$@"
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
    ls -l build/bin/quorrel-capture
    getcap build/bin/quorrel-capture
    ;;
*)
    echo "usage: $0 [run] | test | scan [ARGS...] | fetch [ARGS...] | setcap" >&2
    exit 2
    ;;
esac
