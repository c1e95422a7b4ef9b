#!/bin/sh
# The Debian package as a user meets it: built with CPack (lintian finds no error),
# installed with apt-get, the window started from /usr/bin under Xvfb by a user in the
# group quorrel, a request on loopback captured, a second start refused, the window closed
# as the session closes it, and the list found in the user's own folder, beside the
# starter config.ini; then the package removed.
#
#   package_test.sh BUILD_DIR
set -eu

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing a package needs root"
    exit 77
fi
build_dir=$1
user_id=65534 # nobody

work=$(mktemp -d "/tmp/quorrel-package-$$-XXXXXX")
installed=no
pids=""
data=$work/home/.local/share/quorrel
cleanup() {
    set +e # everything is tried, whatever has ended already
    [ -e "$data/.quorrel.lock" ] && kill -9 "$(head -n 1 "$data/.quorrel.lock")" 2>/dev/null
    for pid in $pids; do kill -9 "$pid" 2>/dev/null || true; done
    [ "$installed" = yes ] && apt-get remove -y -q -o DPkg::Lock::Timeout=600 quorrel >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/*.log; do
        [ -s "$f" ] && { echo "--- $f"; tail -n 20 "$f"; } >&2
    done
    exit 1
}

# Build and install.
cpack --config "$build_dir/CPackConfig.cmake" -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1 || fail "cpack"
deb=$(ls "$work"/pkg/quorrel_*.deb)
command -v lintian >/dev/null || fail "lintian is not installed (./quorrel.sh test installs it)"
lintian --allow-root --fail-on error "$deb" >"$work/lintian.log" 2>&1 || fail "lintian finds errors in the package"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=600 --reinstall "$deb" >"$work/apt.log" 2>&1 ||
    fail "apt-get install $deb"
installed=yes
for f in /usr/bin/quorrel /usr/bin/quorrel-scan /usr/bin/quorrel-fetch /usr/share/quorrel/config.ini \
    /usr/share/applications/quorrel.desktop /usr/share/icons/hicolor/scalable/apps/quorrel.svg \
    /usr/share/icons/hicolor/48x48/apps/quorrel.png /usr/share/metainfo/quorrel.metainfo.xml \
    /usr/share/quorrel/translations/quorrel_en.qm; do
    [ -f "$f" ] || fail "the package did not install $f"
done
[ "$(stat -c '%U:%G %a' /usr/bin/quorrel-capture)" = "root:quorrel 750" ] || fail "the helper is not root:quorrel 0750"
[ "$(getcap /usr/bin/quorrel-capture | awk '{print $NF}')" = cap_net_raw=eip ] ||
    fail "the helper has not exactly cap_net_raw: $(getcap /usr/bin/quorrel-capture)"
group_id=$(getent group quorrel | cut -d: -f3)

# The user: nobody, in the group quorrel for this run, with folders of its own.
home=$work/home
mkdir -p "$home"
chown "$user_id:$user_id" "$home"
chmod 755 "$work"
as_user() {
    setpriv --reuid=$user_id --regid=$user_id --groups="$group_id" \
        env -i HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
        PATH=/usr/local/bin:/usr/bin:/bin DISPLAY="$display" "$@"
}

# A display, and a page server of the test's own on loopback.
setpriv --reuid=$user_id --regid=$user_id --clear-groups \
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$work/display" 2>"$work/xvfb.log" &
pids="$pids $!"
python3 "$(dirname "$0")/servers/page_ok.py" >"$work/port" &
pids="$pids $!"
for _ in $(seq 100); do [ -s "$work/port" ] && [ -s "$work/display" ] && break; sleep 0.1; done
port=$(cat "$work/port")
display=:$(cat "$work/display")
[ -n "$port" ] && [ "$display" != ":" ] || fail "no page server or no display"

as_user /usr/bin/quorrel >"$work/window.log" 2>&1 &
window=$!
pids="$pids $window"
for _ in $(seq 300); do
    [ -e "$data/.quorrel.lock" ] && break
    kill -0 "$window" 2>/dev/null || fail "the window did not start"
    sleep 0.1
done
[ -e "$data/.quorrel.lock" ] || fail "the window did not take its folder $data"

# Music and video, filed by the starter type table; the list follows within a second.
song="http://127.0.0.1:$port/song-$$.mp3"
clip="http://127.0.0.1:$port/clip-$$.mp4"
for probe in $(seq 60); do
    grep -qF "$song" "$data/zywj.txt" 2>/dev/null && grep -qF "$clip" "$data/zywj.txt" && break
    [ "$probe" -lt 60 ] || fail "the window filed no request"
    curl -s -o /dev/null --max-time 5 "$song" || true
    curl -s -o /dev/null --max-time 5 "$clip" || true
    sleep 0.5
done

# One window per folder.
as_user timeout 60 /usr/bin/quorrel >"$work/second.log" 2>&1 || fail "the second start ended with status $?"
grep -q "已经有一个 Quorrel 窗口在运行" "$work/second.log" || fail "the second start did not say why it ended"
kill -0 "$window" 2>/dev/null || fail "the first window ended"

# Closed as the session closes it: the signal to the window itself, named in its lock
# (the job's pid is the shell that waits for it).
kill -TERM "$(head -n 1 "$data/.quorrel.lock")"
status=0
wait "$window" || status=$?
[ "$status" -eq 0 ] || fail "the window ended with status $status"

# The user's files, GBK with CR LF: the list in the data folder, the starter in the
# configuration folder; nothing beside the program.
printf '02-\322\364\300\326  %s\r\n' "$song" >"$work/song.line"
printf '03-\312\323\306\265  %s\r\n' "$clip" >"$work/clip.line"
LC_ALL=C grep -qF -f "$work/song.line" "$data/zywj.txt" || fail "the song is not filed under 02-音乐 in $data/zywj.txt"
LC_ALL=C grep -qF -f "$work/clip.line" "$data/zywj.txt" || fail "the clip is not filed under 03-视频 in $data/zywj.txt"
cmp -s /usr/share/quorrel/config.ini "$home/.config/quorrel/config.ini" || fail "the starter config.ini was not copied"
[ "$(stat -c %U "$data/zywj.txt")" = nobody ] || fail "the list is not the user's"
[ ! -e /usr/bin/config.ini ] && [ ! -e /usr/bin/zywj.txt ] || fail "files were written beside the program"

# A build of the user's own, whose helper has no rights (the user has no sudo), captures
# through the installed helper.
build=$work/user-build
mkdir -p "$build"
cp "$build_dir/bin/quorrel-scan" "$build_dir/bin/quorrel-capture" "$build/"
cp /usr/share/quorrel/config.ini "$build/config.ini"
chown -R "$user_id:$user_id" "$build"
song2="http://127.0.0.1:$port/own-build-$$.mp3"
as_user "$build/quorrel-scan" --dir "$build" --live --seconds 4 >"$work/own-build.out" 2>"$work/own-build.log" &
scan=$!
pids="$pids $scan"
sleep 2 # the captures open
curl -s -o /dev/null --max-time 5 "$song2" || true
status=0
wait "$scan" || status=$?
[ "$status" -eq 0 ] || fail "the user's own build could not capture (status $status)"
grep -qF "$song2" "$work/own-build.out" || fail "the user's own build filed nothing through the installed helper"
[ -z "$(getcap "$build/quorrel-capture")" ] || fail "the user's helper has rights"

# Removed, the helper's owner and mode go with it; the group stays for a reinstall.
apt-get remove -y -q -o DPkg::Lock::Timeout=600 quorrel >"$work/remove.log" 2>&1 || fail "apt-get remove"
installed=no
[ ! -e /usr/bin/quorrel ] && [ ! -e /usr/bin/quorrel-capture ] || fail "the programs stayed"
dpkg-statoverride --list /usr/bin/quorrel-capture >/dev/null 2>&1 && fail "the helper's statoverride stayed"
echo "PASS"
