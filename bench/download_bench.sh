#!/bin/sh
# A 1 GiB download from a local nginx, by the program's own transfer code, by
# quorrel-fetch and by curl -o, same file, same run: the throughputs and their ratios,
# peak memory growth, and the transfer code's longest event-loop stall. Then a streamed
# video, a 200-segment HLS stream from the same nginx, saved by the program (a task of the
# real scheduler, bench_stream) and by `ffmpeg -i URL -c copy` by hand: the time ratio and
# the event loop's longest stall while it runs. Measures; it passes or fails nothing.
#
#   bench/download_bench.sh               (needs a build in ./build; loopback only)
#   ONLY=stream bench/download_bench.sh   the stream row alone
set -eu
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/quorrel-download-bench.XXXXXX)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null; rm -rf "$work"' EXIT
port=18110
mkdir -p "$work/www" "$work/logs"
chmod 755 "$work" "$work/www" # nginx workers run as www-data
[ "${ONLY:-}" = stream ] || head -c 1073741824 /dev/urandom >"$work/www/big.bin"
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

# Both write to memory, so the disk's own pauses do not decide; three rounds each,
# alternating, and the median of each (this machine's speed varies from run to run).
out=${BENCH_OUT:-/dev/shm}
[ -d "$out" ] && [ -w "$out" ] || out=$work
rounds=${ROUNDS:-3}
median() { sort -n | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
if [ "${ONLY:-}" != stream ]; then
cat "$work/www/big.bin" >/dev/null # warm the page cache for both
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
fi

# The stream: 200 two-second segments (640x360 H.264 at 3 Mbit/s and AAC, about 150 MiB),
# made here by ffmpeg.
mkdir -p "$work/www/hls"
ffmpeg -hide_banner -loglevel error -f lavfi -i testsrc2=size=640x360:rate=25 -f lavfi -i sine=frequency=440 \
    -t 400 -c:v libx264 -preset ultrafast -b:v 3M -g 50 -c:a aac -f hls -hls_time 2 -hls_playlist_type vod \
    -hls_segment_filename "$work/www/hls/seg%03d.ts" "$work/www/hls/index.m3u8"
chmod -R a+rX "$work/www/hls"
segments=$(grep -c '^seg' "$work/www/hls/index.m3u8")
hls="http://127.0.0.1:$port/hls/index.m3u8"
: >"$work/ffmpeg.times"
: >"$work/stream.lines"
for i in $(seq "$rounds"); do
    start=$(date +%s.%N)
    ffmpeg -hide_banner -loglevel error -nostdin -y -i "$hls" -c copy "$out/quorrel-bench-hand.mp4"
    echo "$(date +%s.%N) $start" | awk '{printf "%.3f\n", $1 - $2}' >>"$work/ffmpeg.times"
    rm -f "$out/quorrel-bench-hand.mp4"
    build/bin/bench_stream "$hls" "$out" >>"$work/stream.lines"
    length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "$out/index.mp4" 2>/dev/null || echo 0)
    echo "$length" | awk '{exit !($1 >= 399)}' || echo "round $i: the program's index.mp4 runs $length s, not 400"
    rm -f "$out/index.mp4"
done
hand=$(median <"$work/ffmpeg.times")
ours=$(sed -n 's/^\([0-9.]*\) s;.*/\1/p' "$work/stream.lines" | median)
stream_stall=$(sed -n 's/.*stall \([0-9.]*\) ms.*/\1/p' "$work/stream.lines" | sort -n | tail -n1)
echo "HLS, $segments segments from nginx on 127.0.0.1, $rounds rounds each:"
echo "  ffmpeg -i URL -c copy: $(tr '\n' ' ' <"$work/ffmpeg.times")s, median $hand s"
echo "  Quorrel (scheduler, ffmpeg as a child): $(sed -n 's/^\([0-9.]*\) s;.*/\1/p' "$work/stream.lines" | tr '\n' ' ')s, median $ours s"
echo "  time ratio of the medians (ours / by hand): $(echo "$ours $hand" | awk '{printf "%.3f", $1 / $2}')  (goal: within 1.1)"
echo "  longest event-loop stall while it ran: $stream_stall ms (goal: under 50)"
