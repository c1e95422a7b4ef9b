#!/bin/sh
# A 1 GiB download from a local nginx, by the program's own transfer code, by
# quorrel-fetch and by curl -o, same file, same run: the throughputs and their ratios,
# peak memory growth, and the transfer code's longest event-loop stall. Measures; it
# passes or fails nothing.
#
#   bench/download_bench.sh        (needs a build in ./build; loopback only)
set -eu
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/quorrel-download-bench.XXXXXX)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
port=18110
mkdir -p "$work/www" "$work/logs"
chmod 755 "$work" "$work/www" # nginx workers run as www-data
head -c 1073741824 /dev/urandom >"$work/www/big.bin"
cat >"$work/nginx.conf" <<CONF
daemon on;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 64; }
http { access_log off; server { listen 127.0.0.1:$port; root $work/www; sendfile on; } }
CONF
nginx -c "$work/nginx.conf" -p "$work"
sleep 0.5
url="http://127.0.0.1:$port/big.bin"

cat "$work/www/big.bin" >/dev/null # warm the page cache for both
# Both write to memory, so the disk's own pauses do not decide; three rounds each,
# alternating, and the median of each (this machine's speed varies from run to run).
out=${BENCH_OUT:-/dev/shm}
[ -d "$out" ] && [ -w "$out" ] || out=$work
rounds=${ROUNDS:-3}
: >"$work/curl.rates"
: >"$work/ours.lines"
: >"$work/fetch.lines"
# quorrel-fetch's memory above its start: its peak less the peak of a run that fetches nothing.
base_kib=$(/usr/bin/time -f '%M' build/bin/quorrel-fetch --version 2>&1 >/dev/null | tail -n1)
for i in $(seq "$rounds"); do
    curl -s -o "$out/quorrel-bench-curl.bin" -w '%{size_download} %{time_total}\n' "$url" |
        awk '{printf "%.1f\n", $1 / $2 / 1048576}' >>"$work/curl.rates"
    rm -f "$out/quorrel-bench-curl.bin"
    build/bin/bench_download "$url" "$out/quorrel-bench-ours.bin" >>"$work/ours.lines"
    cmp -s "$work/www/big.bin" "$out/quorrel-bench-ours.bin" || echo "round $i: the downloaded file DIFFERS"
    rm -f "$out/quorrel-bench-ours.bin"
    /usr/bin/time -f '%e %M' -o "$work/fetch.time" build/bin/quorrel-fetch --no-resume --save-path "$out" "$url" \
        >/dev/null 2>&1
    cmp -s "$work/www/big.bin" "$out/big.bin" || echo "round $i: quorrel-fetch's file DIFFERS"
    rm -f "$out/big.bin"
    awk -v base="$base_kib" '{printf "%.1f %.1f\n", 1024 / $1, ($2 - base) / 1024}' "$work/fetch.time" >>"$work/fetch.lines"
done
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
curl_rate=$(median <"$work/curl.rates")
ours_rate=$(sed -n 's/.*: \([0-9.]*\) MiB\/s.*/\1/p' "$work/ours.lines" | median)
peak=$(sed -n 's/.*growth \([0-9.]*\) MiB.*/\1/p' "$work/ours.lines" | sort -n | tail -n1)
stall=$(sed -n 's/.*stall \([0-9.]*\) ms.*/\1/p' "$work/ours.lines" | sort -n | tail -n1)
echo "1 GiB from nginx on 127.0.0.1, written to $out, $rounds rounds each:"
echo "  curl -o:               $(tr '\n' ' ' <"$work/curl.rates")MiB/s, median $curl_rate MiB/s"
echo "  Quorrel transfer code: $(sed -n 's/.*: \([0-9.]*\) MiB\/s.*/\1/p' "$work/ours.lines" | tr '\n' ' ')MiB/s, median $ours_rate MiB/s"
echo "  ratio of the medians (ours / curl): $(echo "$ours_rate / $curl_rate" | bc -l | cut -c1-5)  (goal: at least 0.9)"
echo "  peak memory growth: $peak MiB (goal: under 50); longest event-loop stall: $stall ms (goal: under 50)"
fetch_rate=$(cut -d' ' -f1 "$work/fetch.lines" | median)
fetch_peak=$(cut -d' ' -f2 "$work/fetch.lines" | sort -n | tail -n1)
echo "  quorrel-fetch:         $(cut -d' ' -f1 "$work/fetch.lines" | tr '\n' ' ')MiB/s, median $fetch_rate MiB/s"
echo "  ratio of the medians (quorrel-fetch / curl): $(echo "$fetch_rate / $curl_rate" | bc -l | cut -c1-5)  (goal: at least 0.9)"
echo "  quorrel-fetch's peak memory above its start: $fetch_peak MiB (goal: under 50)"
