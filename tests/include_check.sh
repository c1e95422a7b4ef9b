#!/bin/sh
# The core folders hold every rule of the program and no window: none of their files includes
# a header of Qt Widgets, Qt Gui or the browser engine, and none reaches another folder with
# "../" (a folder includes the folders below it by their names, from the tree's root).
# Usage: include_check.sh SOURCE_DIR QT_INCLUDE_DIR FOLDER...
set -u
source_dir=$1 qt=$2
shift 2
forbidden=$(mktemp) || exit 1
trap 'rm -f "$forbidden"' EXIT
for module in QtWidgets QtGui QtWebEngineCore QtWebEngineWidgets QtWebEngineQuick QtOpenGL; do
    [ -d "$qt/$module" ] || continue
    echo "$module"
    ls "$qt/$module"
done | sort -u > "$forbidden"
if [ ! -s "$forbidden" ]; then
    echo "no Qt headers under $qt" >&2
    exit 1
fi
status=0
for folder in "$@"; do
    for file in $(find "$source_dir/$folder" -name '*.h' -o -name '*.cpp'); do
        sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*\([<"]\)\([^>"]*\)[>"].*/\1\2/p' "$file" |
        while read -r included; do
            name=${included#?}
            case $name in
            *../*)
                echo "$file: includes $name, a path that climbs out of its folder"
                echo x ;;
            esac
            [ "${included%"$name"}" = '<' ] || continue
            module=${name%%/*} header=${name##*/}
            if grep -qxF "$header" "$forbidden" && { [ "$module" = "$name" ] || grep -qxF "$module" "$forbidden"; }; then
                echo "$file: includes <$name>, a header of the window's libraries"
                echo x
            fi
        done
    done
done > "$forbidden.out"
if grep -q '^x$' "$forbidden.out"; then
    grep -v '^x$' "$forbidden.out" >&2
    status=1
fi
rm -f "$forbidden.out"
[ $status -eq 0 ] && echo "$# folders include nothing of the window's libraries"
exit $status
