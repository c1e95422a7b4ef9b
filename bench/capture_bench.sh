#!/bin/sh
# Live capture under load, on loopback only: while a bulk download runs at full speed
# (2 GiB files fetched from a local nginx, again and again until the requests are sent),
# 20,000 GET requests for distinct addresses are sent at 5,000 a second. quorrel-scan
# --live captures through the capture component and files them; tcpdump -i lo -w records
# the same traffic in the same run. Prints what each caught. Measures; passes nothing.
#
#   bench/capture_bench.sh        (needs root or ./quorrel.sh setcap, and a build in ./build)
set -eu
cd "$(dirname "$0")/.."
work=$(mktemp -d /tmp/quorrel-capture-bench.XXXXXX)
trap 'kill $(cat "$work/nginx.pid" 2>/dev/null) 2>/dev/null; [ -n "${KEEP:-}" ] || rm -rf "$work"' EXIT
port=18100
count=${COUNT:-20000}
rate=${RATE:-5000}

command -v nginx >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q nginx-light >/dev/null
mkdir -p "$work/www" "$work/logs"
chmod 755 "$work" "$work/www" # nginx workers run as www-data
truncate -s 64G "$work/www/big.bin" # sparse: the disk is not the bottleneck
cat >"$work/nginx.conf" <<CONF
daemon on;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 256; }
http {
  access_log off;
  keepalive_requests 1000000;
  server { listen 127.0.0.1:$port; root $work/www; sendfile on; }
}
CONF
nginx -c "$work/nginx.conf" -p "$work"
sleep 0.5

printf '[XT]\r\nmaxtype=2\r\n2=.mp3\r\nlxmc=01-pages;02-music;\r\n' >"$work/config.ini"

tcpdump -i lo -w "$work/lo.pcap" -U >/dev/null 2>"$work/tcpdump.err" &
dump=$!
QUORREL_CAPTURE_STATS=1 build/bin/quorrel-scan --dir "$work" --live >"$work/tree.txt" 2>"$work/scan.err" &
scan=$!
sleep 2

# One download that runs from before the first request until after the last.
span=$((count / rate + 3))
curl -s -o /dev/null --max-time $span -w '%{size_download} %{speed_download}\n' \
    "http://127.0.0.1:$port/big.bin" >"$work/bulk.txt" || true &
bulk=$!
sleep 1
python3 bench/send_requests.py $port --count "$count" --rate "$rate" >"$work/sent.txt"
wait $bulk || true
sleep 1
kill -INT $scan
wait $scan || true
kill -INT $dump
wait $dump 2>/dev/null || true

sent=$(cut -d' ' -f1 "$work/sent.txt")
took=$(cut -d' ' -f2 "$work/sent.txt")
bulk_bytes=$(cut -d' ' -f1 "$work/bulk.txt")
bulk_speed=$(cut -d' ' -f2 "$work/bulk.txt")
filed=$(grep -c "	http://127.0.0.1:$port/bench/" "$work/tree.txt" || true)
summary=$(tail -n1 "$work/scan.err")
recorded=$(build/bin/quorrel-scan --dir "$work" "$work/lo.pcap" 2>&1 >"$work/tcpdump-tree.txt" | tail -n1)
tcpdump_filed=$(grep -c "	http://127.0.0.1:$port/bench/" "$work/tcpdump-tree.txt" || true)

printf 'bulk download during the run:   %.2f GiB at %.0f MiB/s\n' "$(echo "$bulk_bytes / 1073741824" | bc -l)" \
    "$(echo "$bulk_speed / 1048576" | bc -l)"
echo "requests sent:                  $sent in $took s"
echo "quorrel-scan --live filed:      $filed of $sent"
echo "  $summary"
echo "tcpdump -i lo -w recorded:      $tcpdump_filed of $sent  ($(grep -h 'dropped' "$work/tcpdump.err" | tr '\n' ' '))"
