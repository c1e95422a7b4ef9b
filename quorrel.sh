#!/bin/sh
# Sets up, builds and runs Quorrel on Debian 12. Installs the Debian packages that are
# missing (with sudo when not run as root), builds in ./build what the command needs, then:
#
#   ./quorrel.sh                 run the window (./quorrel.sh run does the same)
#   ./quorrel.sh test            build everything and run every test
#   ./quorrel.sh scan [ARGS...]  run quorrel-scan (see ./quorrel.sh scan --help)
#   ./quorrel.sh fetch [ARGS...] run quorrel-fetch (see ./quorrel.sh fetch --help)
#   ./quorrel.sh setcap [USER]   give the capture helper its capture rights (group quorrel;
#                                USER, or you, joins it)
#   ./quorrel.sh package         build the Debian package (build/quorrel_*.deb)
set -eu

cd "$(dirname "$0")"

packages="build-essential cmake ninja-build pkg-config dpkg-dev file qt6-base-dev qt6-webengine-dev libpcap-dev libcurl4-openssl-dev libssl-dev libnghttp2-dev nginx-light python3-pyftpdlib openssl
          tcpdump nghttp2-client ffmpeg qt6-translations-l10n lintian
          libcap-dev libcap2-bin fonts-noto-cjk curl iputils-ping iproute2 python3 util-linux xvfb xauth"

helper=build/bin/quorrel-capture

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

# Builds the targets named (everything when none is), configuring build/ the first time.
# Ninja shows its progress; later builds re-run CMake by themselves when a CMakeLists.txt
# changes.
build() {
    if [ ! -f build/build.ninja ]; then
        echo "Configuring build/ ..."
        launcher=""
        command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
        cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher >/dev/null
    fi
    if [ $# -gt 0 ]; then
        echo "Building $* ..."
        cmake --build build --target "$@"
    else
        echo "Building everything ..."
        cmake --build build
    fi
}

# A first start that finds something: a build folder without config.ini gets the starter
# one, made by the build from packaging/starter-config.ini (GBK, CR LF, as the program
# writes it). The window's "设置" panel changes it; a file of the user's is never replaced.
provide_starter_config() {
    [ -e build/bin/config.ini ] && return 0
    cp build/packaging/config.ini build/bin/config.ini
    echo "Wrote build/bin/config.ini, the starter type table (pages, music, video, streams, pictures, archives, documents)."
}

# Capture rights belong to one small helper, and only the members of the group quorrel may
# run it: root:quorrel, mode 0750, then cap_net_raw and cap_net_admin, as capture programs
# are set up on Linux. The user who runs the set-up joins the group. A rebuilt helper loses
# all this: ensure_capture_rights below sets it again when it is missing.
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
# after logging in again; sg gives it to this one program at once. (sg would ask anyone
# else for the group's password: they run the program as they are.)
exec_in_group() {
    if [ "$(id -u)" -ne 0 ] && ! id -nG | tr ' ' '\n' | grep -qx quorrel \
        && id -nG "$(id -un)" | tr ' ' '\n' | grep -qx quorrel; then
        exec sg quorrel -c "exec $(quoted "$@")"
    fi
    exec "$@"
}

# True when capturing needs rights that the helper or this user lacks: the capabilities
# (a rebuilt helper has none), the helper's owner, group and mode as grant_capture_rights
# leaves them, or the right to run it (the group quorrel; a member whose session does not
# have the group yet gets it through sg).
capture_rights_missing() {
    getcap=$(command -v getcap || echo /usr/sbin/getcap) # not on a user's PATH on Debian
    "$getcap" "$helper" 2>/dev/null | grep -q 'cap_net_admin,cap_net_raw=eip' || return 0
    [ "$(stat -c '%U:%G %a' "$helper")" = "root:quorrel 750" ] || return 0
    [ "$(id -u)" -eq 0 ] && return 1
    [ -x "$helper" ] && return 1
    id -nG "$(id -un)" | tr ' ' '\n' | grep -qx quorrel && return 1
    return 0
}

# Whether this user can run sudo here: without a password, or with one typed now.
can_sudo() {
    command -v sudo >/dev/null 2>&1 || return 1
    sudo -n true 2>/dev/null && return 0
    [ -t 0 ]
}

# Grants the capture rights when they are missing, and only then: later starts need no
# sudo. A user who cannot grant them is told the one command that does.
ensure_capture_rights() {
    capture_rights_missing || return 0
    if [ "$(id -u)" -eq 0 ] || can_sudo; then
        grant_capture_rights && ! capture_rights_missing && return 0
    fi
    if [ "$(id -u)" -eq 0 ]; then
        echo "Could not give $helper its capture rights (see above)." >&2
        return 1
    fi
    user=$(id -un)
    {
        echo "Quorrel cannot capture yet: its capture helper needs the capture rights, which only root can give."
        echo "Ask someone who may use sudo on this machine to run, once:"
        echo
        echo "    sudo $(pwd)/quorrel.sh setcap $user"
        echo
        echo "and then start Quorrel again."
    } >&2
    return 1
}

command=${1:-run}
[ $# -gt 0 ] && shift
case "$command" in
run)
    install_missing
    build quorrel quorrel-capture quorrel_starter_config
    provide_starter_config
    ensure_capture_rights || echo "Starting the window without capture." >&2
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
    ensure_capture_rights || true
    ctest --test-dir build --output-on-failure "$@"
    ;;
scan)
    install_missing
    build quorrel-scan quorrel-capture
    ensure_capture_rights || true # quorrel-scan --live says why it cannot capture
    exec_in_group build/bin/quorrel-scan "$@"
    ;;
fetch)
    install_missing
    build quorrel-fetch
    exec build/bin/quorrel-fetch "$@"
    ;;
package)
    install_missing
    # What the package holds, and nothing more.
    build quorrel quorrel-capture quorrel-scan quorrel-fetch quorrel_starter_config quorrel_changelog quorrel_man_pages
    (cd build && cpack -G DEB)
    ;;
setcap)
    # Run by someone with sudo for a user who has none: that user joins the group.
    if [ $# -gt 0 ]; then
        SUDO_USER=$1
        export SUDO_USER
    fi
    install_missing
    # An existing helper is not rebuilt: root's build would leave files in build/ that the
    # user could no longer replace.
    [ -f "$helper" ] || build quorrel-capture
    grant_capture_rights
    ls -l "$helper"
    getcap=$(command -v getcap || echo /usr/sbin/getcap)
    "$getcap" "$helper"
    ;;
*)
    echo "usage: $0 [run] | test | scan [ARGS...] | fetch [ARGS...] | setcap [USER] | package" >&2
    exit 2
    ;;
esac
