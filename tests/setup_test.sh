#!/bin/sh
# The set-up as a user meets it: the first set-up as root (sudo ./quorrel.sh, which
# starts the window as the user), then ./quorrel.sh twice by the user, who has no sudo
# but is in the group quorrel. The user's runs call no sudo, grant nothing and start the
# window, which captures; a user whom the helper does not let in is told the one command
# to ask for. The script runs on a copy of the project whose build is the one already
# made: a stub cmake records what the script asks it to build; a stub sudo records that
# it was called, refuses the user, and lets root start a program as the user.
#
#   setup_test.sh SOURCE_DIR BIN_DIR STARTER_CONFIG
set -eu

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the test makes a user's run and gives capture rights: it needs root"
    exit 77
fi
source_dir=$1
bin_dir=$2
starter=$3
user_id=65534 # nobody

work=$(mktemp -d "/tmp/quorrel-setup-$$-XXXXXX")
project=$work/project
window=""
server=""
# The set-up adds the user to the group quorrel; the machine gets its group back as it was.
member_before=no
id -nG nobody | tr ' ' '\n' | grep -qx quorrel && member_before=yes
cleanup() {
    set +e # everything is tried, whatever has ended already
    [ -e "$project/build/bin/.quorrel.lock" ] && kill -9 "$(head -n 1 "$project/build/bin/.quorrel.lock")" 2>/dev/null
    [ -n "$window" ] && kill -9 "$window" 2>/dev/null
    [ -n "$server" ] && kill "$server" 2>/dev/null
    if id -nG nobody | tr ' ' '\n' | grep -qx quorrel; then
        [ "$member_before" = yes ] || gpasswd -d nobody quorrel >/dev/null
    else
        [ "$member_before" = no ] || usermod -a -G quorrel nobody
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    for f in "$work"/run-*.err; do
        [ -f "$f" ] && { echo "--- $f"; cat "$f"; } >&2
    done
    exit 1
}

mkdir -p "$project/build/bin" "$project/build/packaging" "$work/stubs" "$work/home"
cp "$source_dir/quorrel.sh" "$source_dir/CMakeLists.txt" "$project/"
touch "$project/build/build.ninja"
cp "$bin_dir/quorrel" "$bin_dir/quorrel-capture" "$project/build/bin/"
cp "$starter" "$project/build/packaging/config.ini"
cat >"$work/stubs/cmake" <<EOF
#!/bin/sh
echo "cmake \$*" >>"$work/cmake.log"
EOF
cat >"$work/stubs/sudo" <<EOF
#!/bin/sh
echo "sudo \$* (uid \$(id -u))" >>"$work/sudo.log"
if [ "\$(id -u)" -eq 0 ] && [ "\$1" = -u ]; then
    user=\$2
    shift 2
    exec setpriv --reuid="\$user" --regid="\$(id -g "\$user")" --init-groups "\$@"
fi
exit 1
EOF
chmod 755 "$work/stubs/cmake" "$work/stubs/sudo"
: >"$work/cmake.log"
: >"$work/sudo.log"
# The user's project: theirs to write (the window keeps its files beside it).
chown -R "$user_id:$user_id" "$project" "$work/home"
chmod 755 "$work"
chmod 666 "$work/cmake.log" "$work/sudo.log"

getent group quorrel >/dev/null || groupadd --system quorrel
group_id=$(getent group quorrel | cut -d: -f3)

# A page server of the test's own on loopback, for the window to see a request.
python3 "$(dirname "$0")/servers/page_ok.py" >"$work/port" &
server=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
port=$(cat "$work/port")
[ -n "$port" ] || fail "the page server did not start"

# run NAME root|GROUPS: ./quorrel.sh started through sudo by the user, or by the user
# with these groups, in the background, without a terminal; its pid in $window once the
# window holds its folder.
run() {
    name=$1
    groups=$2
    home=$work/home
    path=/usr/local/bin:/usr/bin:/bin
    [ "$groups" = root ] && path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
    env="HOME=$home XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data
         PATH=$work/stubs:$path QT_QPA_PLATFORM=offscreen"
    if [ "$groups" = root ]; then
        env -i $env SUDO_USER=nobody "$project/quorrel.sh" </dev/null >"$work/run-$name.out" 2>"$work/run-$name.err" &
    else
        setpriv --reuid=$user_id --regid=$user_id --groups="$groups" \
            env -i $env "$project/quorrel.sh" </dev/null >"$work/run-$name.out" 2>"$work/run-$name.err" &
    fi
    window=$!
    for _ in $(seq 300); do
        [ -e "$project/build/bin/.quorrel.lock" ] && return 0
        kill -0 "$window" 2>/dev/null || fail "$name: the window did not start"
        sleep 0.1
    done
    fail "$name: the window did not start within 30 s"
}

# Ends the window as the session does, and checks that it ended in order. The signal goes
# to the window itself, named in its lock file: started through sg, it is sg's child.
stop() {
    kill -TERM "$(head -n 1 "$project/build/bin/.quorrel.lock")"
    status=0
    wait "$window" || status=$?
    window=""
    [ "$status" -eq 0 ] || fail "$1: the window ended with status $status"
    [ ! -e "$project/build/bin/.quorrel.lock" ] || fail "$1: the window left its lock"
}

# 1. The first set-up, through sudo: the starter type table, the rights, the window
# started as the user.
run first-as-root root
sleep 1
stop first-as-root
[ "$(getcap "$project/build/bin/quorrel-capture" | awk '{print $NF}')" = cap_net_raw=eip ] ||
    fail "root's run gave not exactly cap_net_raw: $(getcap "$project/build/bin/quorrel-capture")"
[ "$(stat -c '%U:%G %a' "$project/build/bin/quorrel-capture")" = "root:quorrel 750" ] || fail "the helper is not root:quorrel 0750"
cmp -s "$starter" "$project/build/bin/config.ini" || fail "root's run did not write the starter config.ini"
grep -qx "cmake --build build --target quorrel quorrel-capture quorrel_starter_config" "$work/cmake.log" ||
    fail "run builds the window and its helper alone: $(cat "$work/cmake.log")"
grep -qx "sudo -u nobody build/bin/quorrel (uid 0)" "$work/sudo.log" || fail "the window did not go back to the user"
[ "$(stat -c %U "$project/build/bin/zywj.txt")" = nobody ] || fail "the window ran as root"
: >"$work/sudo.log"

# 2. The user, twice: no sudo, and the window captures.
for name in user-1 user-2; do
    run "$name" "$group_id"
    address="http://127.0.0.1:$port/$name.mp3"
    for probe in $(seq 60); do
        grep -qF "$address" "$project/build/bin/zywj.txt" 2>/dev/null && break
        [ "$probe" -lt 60 ] || fail "$name: the window filed no request"
        curl -s -o /dev/null --max-time 5 "$address" || true
        sleep 0.5
    done
    stop "$name"
done
[ ! -s "$work/sudo.log" ] || fail "a later run called sudo: $(cat "$work/sudo.log")"
grep -q "setcap" "$work/run-user-2.err" && fail "a later run spoke of capture rights"

# 3. A user outside the group, with a helper that lost its rights, is told how to get them
# (an administrator's package, never root running or granting anything in the user's
# folder), and the window starts all the same (not through sg, which would ask for the
# group's password).
setcap -r "$project/build/bin/quorrel-capture"
gpasswd -d nobody quorrel >/dev/null
run no-rights "$user_id" # nobody's own group alone
stop no-rights
for said in "./quorrel.sh package && sudo apt-get install ./build/quorrel_" "sudo usermod -aG quorrel nobody" \
    "the installed helper /usr/bin/quorrel-capture"; do
    grep -qF "$said" "$work/run-no-rights.err" || fail "the advice does not say \"$said\": $(cat "$work/run-no-rights.err")"
done
grep "sudo" "$work/run-no-rights.err" | grep -qF "$project" &&
    fail "the advice asks root to run something in the user's folder: $(cat "$work/run-no-rights.err")"
grep -v "sudo -n true" "$work/sudo.log" | grep -q . && fail "sudo was asked to grant without a terminal: $(cat "$work/sudo.log")"

# 4. An administrator who runs the set-up of the user's folder anyway (as root, or through
# sudo as someone else) gives nothing: the helper there is the user's program.
: >"$work/cmake.log"
chown "$user_id:$user_id" "$project/build/bin/quorrel-capture"
chmod 0755 "$project/build/bin/quorrel-capture"
for how in root sudo; do
    status=0
    if [ "$how" = root ]; then
        env -i PATH="$work/stubs:/usr/sbin:/usr/bin:/sbin:/bin" HOME=/root "$project/quorrel.sh" setcap nobody \
            </dev/null >"$work/run-admin-$how.out" 2>"$work/run-admin-$how.err" || status=$?
    else
        env -i PATH="$work/stubs:/usr/sbin:/usr/bin:/sbin:/bin" HOME=/root SUDO_USER=root "$project/quorrel.sh" setcap nobody \
            </dev/null >"$work/run-admin-$how.out" 2>"$work/run-admin-$how.err" || status=$?
    fi
    [ "$status" -ne 0 ] || fail "$how: the set-up of the user's folder ended well: $(cat "$work/run-admin-$how.out")"
    [ -z "$(getcap "$project/build/bin/quorrel-capture")" ] || fail "$how: the user's helper was given rights"
    [ "$(stat -c %U "$project/build/bin/quorrel-capture")" = nobody ] || fail "$how: the user's helper changed hands"
    grep -qF "not giving capture rights" "$work/run-admin-$how.err" || fail "$how: no reason: $(cat "$work/run-admin-$how.err")"
    [ ! -s "$work/cmake.log" ] || fail "$how: root built in the user's folder: $(cat "$work/cmake.log")"
done
echo "PASS"
