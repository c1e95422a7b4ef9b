#!/bin/sh
# Sets up, builds and runs Quorrel on Debian 12. Installs the Debian packages that are
# missing (with sudo when not run as root), builds in ./build what the command needs, then:
#
#   ./quorrel.sh                 run the window (./quorrel.sh run does the same)
#   ./quorrel.sh test            build everything and run every test
#   ./quorrel.sh scan [ARGS...]  run quorrel-scan (see ./quorrel.sh scan --help)
#   ./quorrel.sh fetch [ARGS...] run quorrel-fetch (see ./quorrel.sh fetch --help)
#   ./quorrel.sh setcap [USER]   give the capture helper of your own build its capture rights
#                                (group quorrel; USER, or you, joins it); refused as root in a
#                                folder of another user's
#   ./quorrel.sh package         build the Debian package (build/quorrel_*.deb)
#   ./quorrel.sh browser [URL]   start a browser whose HTTPS the window can read (its TLS key
#                                log where the window looks for it; see README.md)
#   ./quorrel.sh fuzz [SECONDS] [TARGET...]
#                                fuzz each reader of hostile input for SECONDS (60) with
#                                libFuzzer and the sanitizers, in build-fuzz/ (see README.md)
set -eu

cd "$(dirname "$0")"

packages="build-essential cmake ninja-build pkg-config dpkg-dev file qt6-base-dev qt6-webengine-dev libpcap-dev libcurl4-openssl-dev libssl-dev libnghttp2-dev libnghttp3-dev nginx-light python3-pyftpdlib openssl
          tcpdump nghttp2-client ffmpeg qt6-translations-l10n lintian aria2 qt6-tools-dev qt6-l10n-tools
          chromium tshark time caddy ngtcp2-client
          libcap-dev libcap2-bin fonts-noto-cjk curl iputils-ping iproute2 python3 util-linux xvfb xauth
          clang libfuzzer-14-dev"

helper=build/bin/quorrel-capture
installed_helper=/usr/bin/quorrel-capture
version=$(sed -n "s/^project(Quorrel VERSION \([0-9.]*\).*/\1/p" CMakeLists.txt 2>/dev/null || true)

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
    # Through env: sudo drops the caller's environment. No questions asked (tshark's
    # set-up would ask whether non-root users may capture: no).
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
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
# run it: root:quorrel, mode 0750, then cap_net_raw, as capture programs are set up on
# Linux (the helper opens its captures without promiscuous mode: cap_net_admin is not
# needed). The user who runs the set-up joins the group (QUORREL_MEMBER names another). A
# rebuilt helper loses all this: ensure_capture_rights below sets it again when it is
# missing.
grant_capture_rights() {
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    trusted_tree || return 1
    getent group quorrel >/dev/null || $sudo groupadd --system quorrel
    user=${QUORREL_MEMBER:-${SUDO_USER:-$(id -un)}}
    if [ "$user" != root ] && ! id -nG "$user" | tr ' ' '\n' | grep -qx quorrel; then
        $sudo usermod -a -G quorrel "$user"
        echo "Added $user to the group quorrel: members may capture." >&2
    fi
    # chown clears file capabilities: setcap comes last.
    $sudo chown root:quorrel "$helper"
    $sudo chmod 0750 "$helper"
    $sudo setcap cap_net_raw=eip "$helper"
}

# Whoever gives the helper its rights lets its author capture every user's traffic on this
# machine and send raw packets: root gives them only to a helper built in a folder of root's
# own, or of the user who asks through sudo (who could do anything as root already). A folder
# of another user's is theirs to change, the helper included: what root ran or granted from
# it would be that user's program. Such a user gets capture from the package an administrator
# built and installed (README.md, "Who may capture").
trusted_tree() {
    [ "$(id -u)" -eq 0 ] || return 0 # sudo asks, as the user who owns the tree
    trusted="root ${SUDO_USER:-root}"
    path=$(pwd -P)
    for f in "$path" "$path/build" "$path/build/bin" "$helper"; do
        [ -e "$f" ] || continue
        owner=$(stat -c %U "$f")
        if ! printf '%s\n' $trusted | grep -qx "$owner" || [ -n "$(find "$f" -maxdepth 0 -perm /022)" ]; then
            refuse_tree "$f belongs to $owner$( [ -n "$(find "$f" -maxdepth 0 -perm /022)" ] && echo ' and others may write to it')"
            return 1
        fi
    done
    # The folders above it, as far as the root: another user's folder could swap the tree.
    dir=$(dirname "$path")
    while :; do
        owner=$(stat -c %U "$dir")
        if ! printf '%s\n' $trusted | grep -qx "$owner" \
            || [ -n "$(find "$dir" -maxdepth 0 -perm /022 ! -perm -1000)" ]; then
            refuse_tree "the folder $dir above it belongs to $owner or others may write to it"
            return 1
        fi
        [ "$dir" = / ] && break
        dir=$(dirname "$dir")
    done
}

refuse_tree() {
    {
        echo "$0: not giving capture rights to a helper in $(pwd -P): $1."
        echo "Root gives capture rights only to a helper it built from a folder of its own: a helper in"
        echo "someone else's folder is their program, and capture rights would let it read every user's"
        echo "traffic. Build and install Quorrel's package from a copy of the source that you own:"
        echo
        echo "    ./quorrel.sh package && sudo apt-get install ./build/quorrel_${version}_amd64.deb"
        echo "    sudo usermod -aG quorrel ${QUORREL_MEMBER:-USER}"
        echo
        echo "A member of the group quorrel captures through the installed helper, from the package's"
        echo "programs and from a build of their own alike."
    } >&2
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

# Whether the helper at $1 can capture for this user: the capability (a rebuilt helper has
# none), its owner, group and mode as grant_capture_rights leaves them, and the right to run
# it (the group quorrel; a member whose session does not have the group yet gets it
# through sg).
helper_ready() {
    getcap=$(command -v getcap || echo /usr/sbin/getcap) # not on a user's PATH on Debian
    [ "$("$getcap" "$1" 2>/dev/null | awk '{print $NF}')" = "cap_net_raw=eip" ] || return 1
    [ "$(stat -c '%U:%G %a' "$1")" = "root:quorrel 750" ] || return 1
    [ "$(id -u)" -eq 0 ] && return 0
    [ -x "$1" ] && return 0
    id -nG "$(id -un)" | tr ' ' '\n' | grep -qx quorrel
}

# True when capturing needs rights that the build's helper lacks. The program captures
# through the installed helper when its own one cannot (capture/helper_access.h): that one
# does as well, but only where the user cannot give the build's helper its rights.
capture_rights_missing() {
    ! helper_ready "$helper"
}

# Whether this user can run sudo here: without a password, or with one typed now.
can_sudo() {
    command -v sudo >/dev/null 2>&1 || return 1
    sudo -n true 2>/dev/null && return 0
    [ -t 0 ]
}

# Grants the capture rights when they are missing, and only then: later starts need no
# sudo. A user who cannot grant them captures through the installed helper when there is
# one, and is told otherwise how to get one: from an administrator, never by having root
# run or grant anything in this folder, which is the user's to change.
ensure_capture_rights() {
    capture_rights_missing || return 0
    if [ "$(id -u)" -eq 0 ] || can_sudo; then
        grant_capture_rights && ! capture_rights_missing && return 0
    fi
    if [ "$(id -u)" -eq 0 ]; then
        echo "Could not give $helper its capture rights (see above)." >&2
        return 1
    fi
    helper_ready "$installed_helper" && return 0
    user=$(id -un)
    {
        echo "Quorrel cannot capture yet: capturing needs a helper with capture rights, which only root can give."
        echo "On a machine shared with others they come with Quorrel's package: ask an administrator to build"
        echo "it from a copy of the source that the administrator owns (not from this folder: it is yours"
        echo "to change, and whatever root ran or granted from it would be your program), to install it,"
        echo "and to add you to the group quorrel:"
        echo
        echo "    ./quorrel.sh package && sudo apt-get install ./build/quorrel_${version}_amd64.deb"
        echo "    sudo usermod -aG quorrel $user"
        echo
        echo "Then log in again: this build captures through the installed helper $installed_helper."
    } >&2
    return 1
}

# The watched browser's TLS key log, where the program reads it (streams/key_log_location.cpp;
# the two must agree): SSLKEYLOGFILE when set, else $XDG_RUNTIME_DIR/quorrel/tls-keys.log, or
# /tmp/quorrel-<uid>/quorrel/tls-keys.log where the session has no runtime folder.
key_log_path() {
    if [ -n "${SSLKEYLOGFILE:-}" ]; then
        printf '%s\n' "$SSLKEYLOGFILE"
    else
        printf '%s/quorrel/tls-keys.log\n' "${XDG_RUNTIME_DIR:-/tmp/quorrel-$(id -u)}"
    fi
}

# Whoever can read the key log can read the browser's traffic, and whoever owns a folder on
# its path can swap the file: the folders are the user's own, 0700, and never links. A
# folder that is missing is made (mkdir fails when someone else made it first).
private_folder() {
    [ -e "$1" ] || [ -L "$1" ] || mkdir -m 0700 "$1" || return 1
    if [ -L "$1" ] || [ ! -d "$1" ]; then
        echo "$0: $1 is not a folder: the key log does not go there" >&2
        return 1
    fi
    if [ "$(stat -c %u "$1")" != "$(id -u)" ]; then
        echo "$0: $1 belongs to $(stat -c %U "$1"), not to you: the key log does not go there" >&2
        return 1
    fi
    chmod 0700 "$1"
}

# The key log itself: a plain file of the user's, 0600, kept as it is (the window reads
# whatever it holds from its start).
private_file() {
    if [ -L "$1" ] || { [ -e "$1" ] && [ ! -f "$1" ]; }; then
        echo "$0: $1 is not a plain file: refusing it as the key log" >&2
        return 1
    fi
    (umask 077 && : >>"$1") || return 1
    if [ "$(stat -c %u "$1")" != "$(id -u)" ]; then
        echo "$0: $1 belongs to $(stat -c %U "$1"), not to you: refusing it as the key log" >&2
        return 1
    fi
    chmod 0600 "$1"
}

prepare_key_log() {
    keylog=$(key_log_path)
    if [ -n "${SSLKEYLOGFILE:-}" ]; then
        # A folder of the user's choosing: made private when missing, its owner checked,
        # its mode left as the user set it.
        folder=$(dirname "$keylog")
        [ -d "$folder" ] || (umask 077 && mkdir -p "$folder") || return 1
        if [ "$(stat -L -c %u "$folder")" != "$(id -u)" ]; then
            echo "$0: $folder belongs to $(stat -L -c %U "$folder"), not to you: put SSLKEYLOGFILE in a folder of your own" >&2
            return 1
        fi
    else
        runtime=${XDG_RUNTIME_DIR:-/tmp/quorrel-$(id -u)}
        private_folder "$runtime" && private_folder "$runtime/quorrel" || return 1
    fi
    private_file "$keylog"
}

# The user's session folder, for a program started as the user from a root shell: sudo
# leaves XDG_RUNTIME_DIR out, and the window and the browser must find the same key log.
# Nothing when the user has no session folder (both then agree on /tmp/quorrel-<uid>).
user_runtime_dir() {
    dir=/run/user/$(id -u "$1")
    [ -d "$dir" ] && [ "$(stat -c %u "$dir")" = "$(id -u "$1")" ] && printf '%s\n' "$dir"
}

# Starts Chromium (or Firefox ESR, where the machine has that) with a profile of its own and
# its TLS key log where the window reads it. QUIC stays on: the key log holds the secrets of
# its connections too, and HTTP/3 is read with them. Encrypted Client Hello is off: the key log
# names the hidden inner hello's random, which the wire never shows. Everything after the
# command goes to the browser (an address, or flags such as --headless).
# QUORREL_BROWSER=chromium|firefox-esr|firefox picks one; --print-command prepares the
# profile and the key log and prints the command instead of running it.
start_browser() {
    print=false
    if [ "${1:-}" = --print-command ]; then
        print=true
        shift
    fi
    browser=${QUORREL_BROWSER:-}
    if [ -z "$browser" ]; then
        for b in chromium firefox-esr; do
            command -v "$b" >/dev/null && browser=$b && break
        done
    fi
    if [ -z "$browser" ]; then
        packages=chromium
        install_missing
        browser=chromium
    fi
    prepare_key_log || exit 1
    data=${XDG_DATA_HOME:-$HOME/.local/share}/quorrel
    mkdir -p "$data"
    case "$browser" in
    chromium)
        profile=$data/browser-profile/chromium
        (umask 077 && mkdir -p "$profile")
        set -- --user-data-dir="$profile" --ssl-key-log-file="$keylog" \
            --disable-features=EncryptedClientHello --no-first-run --no-default-browser-check "$@"
        # Chromium's sandbox refuses to run as root; a browser run as root has none.
        [ "$(id -u)" -ne 0 ] || set -- --no-sandbox "$@"
        ;;
    firefox-esr | firefox)
        profile=$data/browser-profile/firefox
        (umask 077 && mkdir -p "$profile")
        # Firefox reads the key log's name from SSLKEYLOGFILE alone; the rest is the profile's.
        cat >"$profile/user.js" <<'PREFS'
// Written by quorrel.sh at each start.
user_pref("network.dns.echconfig.enabled", false);
user_pref("network.dns.http3_echconfig.enabled", false);
user_pref("browser.shell.checkDefaultBrowser", false);
PREFS
        set -- --profile "$profile" --no-remote "$@"
        ;;
    *)
        echo "$0: QUORREL_BROWSER=$browser: chromium, firefox-esr or firefox" >&2
        exit 2
        ;;
    esac
    if $print; then
        echo "SSLKEYLOGFILE=$(quoted "$keylog")$(quoted "$browser" "$@")"
        exit 0
    fi
    echo "$0: the browser's TLS secrets go to $keylog (yours alone: whoever reads it can read this browser's traffic)" >&2
    SSLKEYLOGFILE=$keylog exec "$browser" "$@"
}

# The fuzz targets (fuzz/) built with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, each run for the seconds given over a working
# copy of its seed corpus, build-fuzz/corpus/TARGET (it keeps what libFuzzer adds, run after
# run; fuzz/corpus stays as it is). What a target finds goes to build-fuzz/findings/TARGET/,
# its log beside it. Exit status 1 when anything was found.
run_fuzzers() {
    seconds=${1:-60}
    case "$seconds" in
    '' | *[!0-9]*)
        echo "usage: $0 fuzz [SECONDS] [TARGET...]" >&2
        exit 2
        ;;
    esac
    [ $# -gt 0 ] && shift
    all=$(ls fuzz/corpus)
    for t in "$@"; do
        echo "$all" | grep -qx "$t" || { echo "$0 fuzz: no target $t; the targets:" $all >&2; exit 2; }
    done
    [ $# -gt 0 ] || set -- $all
    if [ ! -f build-fuzz/build.ninja ]; then
        echo "Configuring build-fuzz/ (clang, libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) ..."
        launcher=""
        command -v ccache >/dev/null 2>&1 && launcher="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
        cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
            -DQUORREL_SANITIZE=ON -DQUORREL_FUZZ=ON $launcher >/dev/null
    fi
    echo "Building the fuzz targets ..."
    cmake --build build-fuzz --target fuzz_targets
    status=0
    for t in "$@"; do
        work=build-fuzz/corpus/$t
        findings=build-fuzz/findings/$t
        log=build-fuzz/findings/$t.log
        mkdir -p "$work" "$findings"
        cp fuzz/corpus/"$t"/* "$work"/
        before=$(ls "$findings" | wc -l)
        started=$(date +%s)
        # A finding ends the target's run (libFuzzer stops at the first); -timeout makes an
        # input that hangs one.
        build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
            -artifact_prefix="$findings/" "$work" >"$log" 2>&1 || true
        took=$(($(date +%s) - started))
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
        [ -n "$runs" ] || runs=$(sed -n 's/^#\([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
        found=$(($(ls "$findings" | wc -l) - before))
        if [ "$found" -gt 0 ]; then
            status=1
            what="FOUND $found: $(ls -t "$findings" | head -n "$found" | sed "s|^|$findings/|" | tr '\n' ' ')(see $log)"
        else
            what="nothing found"
        fi
        printf '%-19s %6s s %12s executions, corpus %5s inputs: %s\n' "$t" "$took" "${runs:-?}" \
            "$(ls "$work" | wc -l)" "$what"
    done
    [ "$status" -eq 0 ] || echo "Run a finding again with: build-fuzz/fuzz/fuzz_TARGET FILE"
    return "$status"
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
        runtime=$(user_runtime_dir "$SUDO_USER" || true)
        exec sudo -u "$SUDO_USER" ${runtime:+env XDG_RUNTIME_DIR="$runtime"} build/bin/quorrel "$@"
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
browser)
    # As the user behind sudo, like the window: the profile and the key log are theirs.
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ]; then
        runtime=$(user_runtime_dir "$SUDO_USER" || true)
        exec sudo -u "$SUDO_USER" ${runtime:+env XDG_RUNTIME_DIR="$runtime"} sh "$(pwd)/quorrel.sh" browser "$@"
    fi
    start_browser "$@"
    ;;
package)
    install_missing
    # What the package holds, and nothing more.
    build quorrel quorrel-capture quorrel-scan quorrel-fetch quorrel_starter_config quorrel_changelog quorrel_man_pages
    (cd build && cpack -G DEB)
    ;;
setcap)
    # Gives the helper of this folder its rights, for its owner (who runs it through sudo)
    # or for root's own build; USER, or the one who asked, joins the group. Refused in a
    # folder of someone else's (trusted_tree).
    if [ $# -gt 0 ]; then
        QUORREL_MEMBER=$1
        export QUORREL_MEMBER
    fi
    trusted_tree || exit 1
    install_missing
    # An existing helper is not rebuilt: root's build would leave files in build/ that the
    # user could no longer replace.
    [ -f "$helper" ] || build quorrel-capture
    grant_capture_rights || exit 1
    ls -l "$helper"
    getcap=$(command -v getcap || echo /usr/sbin/getcap)
    "$getcap" "$helper"
    ;;
fuzz)
    install_missing
    run_fuzzers "$@"
    ;;
*)
    echo "usage: $0 [run] | test | scan [ARGS...] | fetch [ARGS...] | setcap [USER] | package | browser [URL] | fuzz [SECONDS] [TARGET...]" >&2
    exit 2
    ;;
esac
