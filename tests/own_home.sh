#!/bin/sh
# Runs one test program with a home of its own: HOME and the XDG folders (the runtime folder
# too, where the key log is kept) in a fresh folder that is removed afterwards, so that no
# test reads what the user who runs the suite keeps (a remembered window size, a list, a
# config.ini) nor writes there.
set -u
home=$(mktemp -d "${TMPDIR:-/tmp}/quorrel-test-home.XXXXXX") || exit 1
trap 'rm -rf "$home"' EXIT
trap 'exit 130' INT TERM
# Programs a test starts as another user (nobody) may read it, as they could read /root.
chmod 755 "$home"
mkdir -p "$home/.config" "$home/.local/share" "$home/.cache" "$home/runtime"
chmod 700 "$home/runtime"
HOME=$home
XDG_CONFIG_HOME=$home/.config
XDG_DATA_HOME=$home/.local/share
XDG_CACHE_HOME=$home/.cache
XDG_RUNTIME_DIR=$home/runtime
export HOME XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_RUNTIME_DIR
"$@"
status=$?
exit $status
