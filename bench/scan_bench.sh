#!/bin/sh
# quorrel-scan against the tools people use to pull HTTP requests out of a capture, on the
# same file in the same run: httpry (prints the requests only) and tshark. Prints the
# three times, datagrams per second and the ratios; then what a datagram costs quorrel-scan
# on the first quarter of the capture and on the whole (their ratio: the cost of a
# datagram should not grow with the connections held), and its peak memory on each.
# Measures; it passes or fails nothing.
#
#   bench/scan_bench.sh [DATAGRAMS]     (default 1000000; needs a build in ./build)
set -eu
cd "$(dirname "$0")/.."
n=${1:-1000000}
work=${BENCH_DIR:-build/bench-data}
mkdir -p "$work"
capture="$work/web-$n.pcap"

for tool in httpry tshark bc; do
    if ! command -v $tool >/dev/null; then
        sudo=""; [ "$(id -u)" -eq 0 ] || sudo="sudo"
        echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q httpry tshark >/dev/null
    fi
done

[ -f "$capture" ] || python3 bench/make_capture.py "$capture" --datagrams "$n" --distinct $((n / 20))
# The generator writes datagram i from i and --distinct alone: this is the capture's first quarter.
quarter="$work/web-$n-quarter.pcap"
[ -f "$quarter" ] || python3 bench/make_capture.py "$quarter" --datagrams $((n / 4)) --distinct $((n / 20))

# The type table of a user who watches media, pictures, archives and pages.
printf '[XT]\r\nfxwy=1\r\nmaxtype=6\r\n1=.htm;.html;.php\r\n2=.mp3;.wma\r\n3=.flv;.mp4\r\n4=.jpg;.png;.gif\r\n5=.zip;.rar\r\n6=.js;.css\r\nlxmc=01-pages;02-music;03-video;04-pictures;05-archives;06-scripts;\r\n' >"$work/config.ini"

now() { date +%s.%N; }
run() { # label command...
    label=$1; shift
    start=$(now)
    "$@" >/dev/null 2>"$work/$label.err" || { echo "$label failed:"; cat "$work/$label.err"; exit 1; }
    echo "$(now) - $start" | bc
}

cat "$capture" "$quarter" >/dev/null # the same warm page cache for everyone
scan=$(run quorrel-scan build/bin/quorrel-scan --dir "$work" --local 198.51.100.7 "$capture")
httpry=$(run httpry httpry -r "$capture" tcp)
tshark=$(run tshark tshark -r "$capture" -Y http.request -T fields -e http.host -e http.request.uri)
# The whole and the quarter again, for the peak memory (/usr/bin/time) and the best of three
# times each: the machine may be busy with other work.
best() { # label file: the best time of three runs; the peak memory of the last in label.kib
    label=$1; file=$2; b=""
    for r in 1 2 3; do
        t=$(run "$label" /usr/bin/time -f %M -o "$work/$label.kib" build/bin/quorrel-scan --dir "$work" --local 198.51.100.7 "$file")
        if [ -z "$b" ] || [ "$(echo "$t < $b" | bc)" -eq 1 ]; then b=$t; fi
    done
    echo "$b"
}
whole=$(best whole "$capture")
part=$(best quarter "$quarter")

echo "capture: $capture ($n datagrams, $(du -h "$capture" | cut -f1))"
echo "$(tail -n1 "$work/quorrel-scan.err")"
printf 'quorrel-scan --local  %8.3f s  %12.0f datagrams/s\n' "$scan" "$(echo "$n / $scan" | bc -l)"
printf 'httpry -r FILE tcp    %8.3f s  %12.0f datagrams/s  (%.1f x the time of quorrel-scan)\n' \
    "$httpry" "$(echo "$n / $httpry" | bc -l)" "$(echo "$httpry / $scan" | bc -l)"
printf 'tshark -Y http.request%8.3f s  %12.0f datagrams/s  (%.1f x the time of quorrel-scan)\n' \
    "$tshark" "$(echo "$n / $tshark" | bc -l)" "$(echo "$tshark / $scan" | bc -l)"
q=$((n / 4))
printf 'a datagram costs quorrel-scan %.3f us on the first quarter (%d datagrams), %.3f us on the whole: %.2f x (best of three each)\n' \
    "$(echo "$part * 1000000 / $q" | bc -l)" "$q" "$(echo "$whole * 1000000 / $n" | bc -l)" \
    "$(echo "($whole / $n) / ($part / $q)" | bc -l)"
printf 'peak memory of quorrel-scan: %.1f MiB on the quarter, %.1f MiB on the whole\n' \
    "$(echo "$(cat "$work/quarter.kib") / 1024" | bc -l)" "$(echo "$(cat "$work/whole.kib") / 1024" | bc -l)"
