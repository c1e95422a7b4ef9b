#!/bin/sh
# HTTPS read with the clients' TLS key log. The bench makes its own traffic: curl (which
# writes the key log named by SSLKEYLOGFILE) against nginx over TLS 1.3, HTTP/2 (the
# requests of a connection multiplexed) and HTTP/1.1 (keep-alive), recorded by tcpdump.
# On that file, in the same run: quorrel-scan --keylog against tshark with the same key log
# (-Y "http2.header or http.request"): the time of each, the ratio, the GET requests each
# found, the peak memory of quorrel-scan. Then live: the same load again under
# quorrel-scan --live --keylog, and the CPU it took per 10,000 requests (the window's side;
# the capture helper's apart). Everything runs in a network namespace of the bench's own.
# Measures and prints; it passes or fails nothing.
#
#   bench/https_bench.sh [CONNECTIONS] [REQUESTS_PER_CONNECTION]
#
# (default 300 connections of 80 requests: 24,000 requests; half the connections HTTP/2,
# half HTTP/1.1.) Needs root (the namespace, the captures) and a build in ./build.
set -eu
cd "$(dirname "$0")/.."
connections=${1:-300}
per=${2:-80}
requests=$((connections * per))
work=${BENCH_DIR:-build/bench-data}/https
scan=$(pwd)/build/bin/quorrel-scan
[ "$(id -u)" -eq 0 ] || { echo "$0: run it as root (it makes a network namespace and captures in it)" >&2; exit 2; }
[ -x "$scan" ] || { echo "$0: build first (./quorrel.sh test, or cmake --build build)" >&2; exit 2; }
for tool in tshark nginx curl tcpdump openssl /usr/bin/time bc; do
    command -v $tool >/dev/null || { echo "$0: $tool is missing (./quorrel.sh installs it)" >&2; exit 2; }
done

rm -rf "$work"
mkdir -p "$work/logs" "$work/tmp" "$work/conf"
work=$(cd "$work" && pwd)
ns=quorrel-bench-$$
ip netns add "$ns"
in_ns() { ip netns exec "$ns" "$@"; }
cleanup() {
    [ -f "$work/logs/nginx.pid" ] && kill "$(cat "$work/logs/nginx.pid")" 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
}
trap cleanup EXIT INT TERM
in_ns ip link set lo up

openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -subj /CN=quorrel-bench \
    -addext subjectAltName=IP:127.0.0.1 -days 1 -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
# Every address answered by nginx itself (no files): the work is the TLS and the headers.
cat >"$work/nginx.conf" <<EOF
daemon on; user root; worker_processes 1; pid $work/logs/nginx.pid; error_log $work/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  client_body_temp_path $work/tmp/body; proxy_temp_path $work/tmp/proxy; fastcgi_temp_path $work/tmp/fastcgi;
  uwsgi_temp_path $work/tmp/uwsgi; scgi_temp_path $work/tmp/scgi;
  ssl_certificate $work/cert.pem; ssl_certificate_key $work/key.pem; ssl_protocols TLSv1.3;
  keepalive_requests 100000;
  server { listen 127.0.0.1:8443 ssl http2; location / { return 200 "quorrel bench\n"; } }
  server { listen 127.0.0.1:8444 ssl; location / { return 200 "quorrel bench\n"; } }
}
EOF
in_ns nginx -c "$work/nginx.conf" -p "$work"
until in_ns curl -sk -o /dev/null https://127.0.0.1:8443/; do sleep 0.1; done

# The type table of a user who watches media, pictures, archives and pages.
printf '[XT]\r\nfxwy=1\r\nmaxtype=6\r\n1=.htm;.html;.php\r\n2=.mp3;.wma\r\n3=.flv;.mp4\r\n4=.jpg;.png;.gif\r\n5=.zip;.rar\r\n6=.js;.css\r\nlxmc=01-pages;02-music;03-video;04-pictures;05-archives;06-scripts;\r\n' >"$work/config.ini"

# One curl a connection, each address its own: even connections HTTP/2 on 8443 (all
# requests at once, multiplexed), odd ones HTTP/1.1 on 8444 (one after another).
for c in $(seq 1 "$connections"); do
    port=$((8443 + c % 2))
    seq 1 "$per" | awk -v c="$c" -v p="$port" 'BEGIN { split("jpg mp3 mp4 html js png", ext, " ") }
        { printf "url = \"https://127.0.0.1:%d/file/c%d/r%d.%s\"\noutput = \"/dev/null\"\n", p, c, $1, ext[$1 % 6 + 1] }' \
        >"$work/conf/$c"
done
load() { # keylog
    for c in $(seq 1 "$connections"); do
        if [ $((c % 2)) -eq 0 ]; then
            echo "--http2 --parallel --parallel-max 100 -K $work/conf/$c"
        else
            echo "--http1.1 -K $work/conf/$c"
        fi
    done | SSLKEYLOGFILE=$1 in_ns xargs -P 2 -L 1 curl -sSk --no-progress-meter --tlsv1.3
}
keys=$work/keys.log
capture=$work/https.pcap
(umask 077 && : >"$keys")
# Started through ip itself, not a function: $! is then tcpdump (ip netns exec execs it).
ip netns exec "$ns" tcpdump -i lo -s 0 -B 65536 -U -w "$capture" "tcp port 8443 or tcp port 8444" 2>"$work/tcpdump.err" &
tcpdump=$!
until grep -q "listening on" "$work/tcpdump.err"; do sleep 0.1; done
start=$(date +%s.%N)
load "$keys"
made=$(echo "$(date +%s.%N) - $start" | bc)
sleep 1
kill -TERM $tcpdump
wait $tcpdump || true
grep -q "^0 packets dropped by kernel" "$work/tcpdump.err" || { echo "tcpdump dropped packets:"; cat "$work/tcpdump.err"; }

cat "$capture" >/dev/null # the same warm page cache for both
measure() { # label command...: the best wall time and the best CPU time (user + system) of
    # three runs, in $work/label.seconds and label.cpu; the peak memory (/usr/bin/time -v)
    # of the last. The machine may be busy with other work: the best run shows the program.
    label=$1; shift
    best=""
    best_cpu=""
    for run in 1 2 3; do
        start=$(date +%s.%N)
        /usr/bin/time -v -o "$work/$label.time" "$@" >"$work/$label.out" 2>"$work/$label.err" \
            || { echo "$label failed:"; cat "$work/$label.err"; exit 1; }
        took=$(echo "$(date +%s.%N) - $start" | bc)
        cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { print s }' "$work/$label.time")
        if [ -z "$best" ] || [ "$(echo "$took < $best" | bc)" -eq 1 ]; then best=$took; fi
        if [ -z "$best_cpu" ] || [ "$(echo "$cpu < $best_cpu" | bc)" -eq 1 ]; then best_cpu=$cpu; fi
    done
    echo "$best" >"$work/$label.seconds"
    echo "$best_cpu" >"$work/$label.cpu"
}
elapsed() { cat "$work/$1.seconds"; }
cpu_of() { cat "$work/$1.cpu"; }
peak() { sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/$1.time"; }

scan_cmd="$scan --dir $work --keylog $keys $capture"
# tshark is told that the two ports are TLS: a client's ephemeral port that happens to be
# some protocol's registered port (44322, say) would take the connection otherwise. It runs
# twice: as the goal names it (a summary line a packet; the fastest), and printing the
# method of every request, to count them (a packet's summary may name several, or cut
# them short).
tshark_cmd="tshark -r $capture -o tls.keylog_file:$keys -d tcp.port==8443,tls -d tcp.port==8444,tls -Y 'http2.header or http.request'"
measure quorrel-scan $scan_cmd
measure tshark sh -c "$tshark_cmd"
measure tshark-fields sh -c "$tshark_cmd -T fields -e http2.headers.method -e http.request.method"
# The same reading with a type table that files nothing: no tree is built, nothing printed.
mkdir -p "$work/no-types"
printf '[XT]\r\nmaxtype=0\r\n' >"$work/no-types/config.ini"
measure reading "$scan" --dir "$work/no-types" --keylog "$keys" "$capture"
ours_found=$(sed -n 's/.* \([0-9]*\) requests found.*/\1/p' "$work/quorrel-scan.err")
filed=$(sed -n 's/.* \([0-9]*\) resources filed.*/\1/p' "$work/quorrel-scan.err")
tshark_found=$(grep -o GET "$work/tshark-fields.out" | wc -l)

# Live: the same load again, read as it happens.
live_keys=$work/live-keys.log
(umask 077 && : >"$live_keys")
# Addresses of their own, so that the live run files new resources as the first did.
sed -i 's|/file/|/live/|' "$work"/conf/*
ip netns exec "$ns" "$scan" --dir "$work" --keylog "$live_keys" --live >"$work/live.out" 2>"$work/live.err" &
live=$!
helper=""
until [ -n "$helper" ] && grep -q "CapEff:	0000000000000000" "/proc/$helper/status" 2>/dev/null; do
    sleep 0.1
    helper=$(pgrep -P $live -x quorrel-capture || true)
done
load "$live_keys"
sleep 2 # the last records, and the key log's last lines
helper_cpu=$(awk '{ printf "%.2f", ($14 + $15) / 100 }' "/proc/$helper/stat")
kill -TERM $live
wait $live || true
live_found=$(sed -n 's/.* \([0-9]*\) requests found.*/\1/p' "$work/live.err")
live_cpu=$(sed -n 's/.* \([0-9.]*\) s CPU.*/\1/p' "$work/live.err")

echo "capture: $capture ($(du -h "$capture" | cut -f1)), made in $made s: $requests GET requests sent over $connections TLS 1.3 connections ($((connections / 2)) HTTP/2, $((connections - connections / 2)) HTTP/1.1)"
echo "quorrel-scan: $(tail -n1 "$work/quorrel-scan.err" | sed 's/^quorrel-scan: //')"
row() { # title label requests
    printf '%-72s %7.3f s (CPU %6.3f s)  %6s requests  peak %6.1f MiB\n' \
        "$1" "$(elapsed "$2")" "$(cpu_of "$2")" "$3" "$(echo "$(peak "$2") / 1024" | bc -l)"
}
ratio() { echo "$(elapsed "$1") / $(elapsed "$2")" | bc -l; }
cpu_ratio() { echo "$(cpu_of "$1") / $(cpu_of "$2")" | bc -l; }
echo "best of three runs each:"
row "quorrel-scan --keylog K FILE (files $filed new resources, prints the tree)" quorrel-scan "$ours_found"
row "quorrel-scan with a type table that files nothing" reading "$ours_found"
row "tshark -o tls.keylog_file:K -d ... -Y 'http2.header or http.request'" tshark ""
row "the same, -T fields -e http2.headers.method -e http.request.method" tshark-fields "$tshark_found"
printf 'tshark takes %.1f times the time of quorrel-scan (CPU: %.1f; goal: at least 20); with -T fields %.1f (CPU: %.1f)\n' \
    "$(ratio tshark quorrel-scan)" "$(cpu_ratio tshark quorrel-scan)" "$(ratio tshark-fields quorrel-scan)" "$(cpu_ratio tshark-fields quorrel-scan)"
printf 'filing nothing: %.1f times (CPU: %.1f); with -T fields %.1f (CPU: %.1f)\n' \
    "$(ratio tshark reading)" "$(cpu_ratio tshark reading)" "$(ratio tshark-fields reading)" "$(cpu_ratio tshark-fields reading)"
echo "live: $(tail -n1 "$work/live.err" | sed 's/^quorrel-scan: //')"
printf 'live: %d of %d requests read, %.3f s CPU per 10,000 HTTPS requests (the capture helper: %s s in all)\n' \
    "$live_found" "$requests" "$(echo "$live_cpu * 10000 / $live_found" | bc -l)" "$helper_cpu"
