#!/bin/sh
# Live capture under load. quorrel-scan --live captures through the capture component, as
# the window does, and files the requests; tcpdump -w records in the same run, with the
# kernel filter the helper sets for the same address (quorrel-capture --filter) and a
# snap length that keeps every request whole (-s 512). Three runs:
#
#   nginx     20,000 GETs at 5,000 a second over 64 connections while curl downloads from
#             a local nginx at full speed (2 GiB files, again and again)
#   loopback  10,000 GETs at 2,500 a second over 5 keep-alive connections, one send() each
#             with TCP_NODELAY, while a socket pair on loopback sends random bytes as fast
#             as it can
#   veth      the same GETs, sent over a veth pair to a network namespace made here, while
#             a download from that namespace is received at full speed; then the same GETs
#             with no download, to show what the received bulk costs the window side
#
# Each prints: requests sent, filed by quorrel-scan and by tcpdump, datagrams delivered to
# the window side and per second, its CPU while the load ran (per 100,000 datagrams; and
# for the whole run, start-up included), the helper's CPU, the losses reported.
# Measures; passes nothing.
#
#   bench/capture_bench.sh [nginx|loopback|veth]...   (default: all three; needs root and a
#                                                      build in ./build)
set -eu
cd "$(dirname "$0")/.."
runs=${*:-nginx loopback veth}
work=$(mktemp -d /tmp/quorrel-capture-bench.XXXXXX)
ns=quorrel-bench-$$
veth=qb$(($$ % 100000))
cleanup() {
    for pid in $(cat "$work"/*.pid 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
    ip link del "$veth" 2>/dev/null || true
    ip netns del "$ns" 2>/dev/null || true
    [ -n "${KEEP:-}" ] || rm -rf "$work"
}
trap cleanup EXIT
port=18100

command -v nginx >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -q nginx-light >/dev/null
mkdir -p "$work/www" "$work/logs"
chmod 755 "$work" "$work/www" # nginx workers run as www-data
truncate -s 64G "$work/www/big.bin" # sparse: the disk is not the bottleneck
printf '[XT]\r\nmaxtype=2\r\n2=.mp3\r\nlxmc=01-pages;02-music;\r\n' >"$work/config.ini"

# nginx_conf NAME ADDRESS: a server on ADDRESS:$port that answers every request.
nginx_conf() {
    cat >"$work/$1.conf" <<CONF
daemon on;
pid $work/$1.pid;
error_log $work/logs/$1-error.log;
events { worker_connections 256; }
http {
  access_log off;
  keepalive_requests 1000000;
  server { listen $2:$port; root $work/www; sendfile on; }
}
CONF
}

# capture NAME IFACE ADDRESS: starts tcpdump and quorrel-scan --live for the run NAME.
capture() {
    filter=$(build/bin/quorrel-capture --filter "$3")
    tcpdump -i "$2" -s 512 -w "$work/$1.pcap" -U "$filter" >/dev/null 2>"$work/$1-tcpdump.err" &
    echo $! >"$work/$1-tcpdump.pid"
    build/bin/quorrel-scan --dir "$work" --live >"$work/$1-tree.txt" 2>"$work/$1-scan.err" &
    echo $! >"$work/$1-scan.pid"
    sleep 2
    load_start=$(date +%s.%N)
    scan_cpu_start=$(cpu_ns "$(cat "$work/$1-scan.pid")")
    helper_cpu_start=$(cpu_ns "$(pgrep -P "$(cat "$work/$1-scan.pid")" | head -n1)")
}

# cpu_ns PID: the CPU time the process has used so far, in nanoseconds.
cpu_ns() {
    cut -d' ' -f1 "/proc/$1/schedstat" 2>/dev/null || echo 0
}

# report NAME PREFIX: stops the captures of run NAME and prints what each caught of the
# requests whose addresses begin with PREFIX.
report() {
    load_end=$(date +%s.%N)
    scan_cpu=$(( $(cpu_ns "$(cat "$work/$1-scan.pid")") - scan_cpu_start ))
    helper_cpu=$(( $(cpu_ns "$(pgrep -P "$(cat "$work/$1-scan.pid")" | head -n1)") - helper_cpu_start ))
    sleep 1
    kill -INT "$(cat "$work/$1-scan.pid")"
    while kill -0 "$(cat "$work/$1-scan.pid")" 2>/dev/null; do sleep 0.1; done
    kill -INT "$(cat "$work/$1-tcpdump.pid")"
    while kill -0 "$(cat "$work/$1-tcpdump.pid")" 2>/dev/null; do sleep 0.1; done
    rm -f "$work/$1-scan.pid" "$work/$1-tcpdump.pid"

    sent=$(cut -d' ' -f1 "$work/$1-sent.txt")
    took=$(cut -d' ' -f2 "$work/$1-sent.txt")
    filed=$(grep -c "	$2" "$work/$1-tree.txt" || true)
    summary=$(tail -n1 "$work/$1-scan.err")
    delivered=$(echo "$summary" | sed -n 's/^quorrel-scan: \([0-9]*\) datagrams read.*/\1/p')
    cpu=$(echo "$summary" | sed -n 's/.* \([0-9.]*\) s CPU.*/\1/p')
    per100k=$(echo "$summary" | sed -n 's/.*(\([0-9.]*\) s per 100,000 datagrams).*/\1/p')
    lost=$(echo "$summary" | sed -n 's/.*, \([0-9]*\) datagrams lost.*/\1/p')
    seconds=$(echo "$load_end - $load_start" | bc -l)
    build/bin/quorrel-scan --dir "$work" "$work/$1.pcap" >"$work/$1-tcpdump-tree.txt" 2>/dev/null
    tcpdump_filed=$(grep -c "	$2" "$work/$1-tcpdump-tree.txt" || true)
    tcpdump_drops=$(grep -h 'dropped by kernel' "$work/$1-tcpdump.err" | cut -d' ' -f1)

    echo "requests sent:                  $sent in $took s"
    echo "quorrel-scan --live filed:      $filed of $sent"
    printf 'datagrams delivered:            %s, %.0f a second over the %.1f s of load\n' "$delivered" \
        "$(echo "$delivered / $seconds" | bc -l)" "$seconds"
    printf 'window side CPU while loaded:   %.3f s, %.3f s per 100,000 datagrams\n' \
        "$(echo "$scan_cpu / 1000000000" | bc -l)" "$(echo "$scan_cpu / 10000 / $delivered" | bc -l)"
    echo "  (whole run, start-up included: $cpu s, $per100k s per 100,000 datagrams)"
    printf 'capture helper CPU while loaded: %.3f s\n' "$(echo "$helper_cpu / 1000000000" | bc -l)"
    echo "losses reported:                $lost datagrams"
    echo "tcpdump -s 512 -w filed:        $tcpdump_filed of $sent  (${tcpdump_drops:-?} packets dropped by kernel)"
}

bulk_figures() {
    bytes=$(cut -d' ' -f1 "$1")
    secs=$(cut -d' ' -f2 "$1")
    printf 'bulk during the run:            %.2f GiB in %s s, %.0f MiB/s\n' "$(echo "$bytes / 1073741824" | bc -l)" \
        "$secs" "$(echo "$bytes / $secs / 1048576" | bc -l)"
}

for run in $runs; do
case $run in
nginx)
    echo "== nginx: 20,000 GETs at 5,000/s while curl downloads from nginx on loopback"
    nginx_conf lo 127.0.0.1
    nginx -c "$work/lo.conf" -p "$work"
    sleep 0.5
    capture nginx lo 127.0.0.1
    curl -s -o /dev/null --max-time 7 -w '%{size_download} %{time_total}\n' \
        "http://127.0.0.1:$port/big.bin" >"$work/nginx-bulk.txt" || true &
    bulk=$!
    sleep 1
    python3 bench/send_requests.py $port --count 20000 --rate 5000 --prefix /nginx >"$work/nginx-sent.txt"
    wait $bulk || true
    report nginx "http://127.0.0.1:$port/nginx/"
    bulk_figures "$work/nginx-bulk.txt"
    kill "$(cat "$work/lo.pid")"; rm -f "$work/lo.pid"
    ;;
loopback)
    echo "== loopback: 10,000 GETs at 2,500/s over 5 connections while a socket pair sends random bytes"
    nginx_conf lo 127.0.0.1
    nginx -c "$work/lo.conf" -p "$work"
    python3 bench/bulk_pair.py serve 127.0.0.1 $((port + 1)) &
    echo $! >"$work/bulk-serve.pid"
    sleep 0.5
    capture loopback lo 127.0.0.1
    python3 bench/bulk_pair.py fetch 127.0.0.1 $((port + 1)) 6 >"$work/loopback-bulk.txt" &
    bulk=$!
    sleep 1
    python3 bench/send_requests.py $port --count 10000 --rate 2500 --connections 5 --prefix /loopback \
        >"$work/loopback-sent.txt"
    wait $bulk
    report loopback "http://127.0.0.1:$port/loopback/"
    bulk_figures "$work/loopback-bulk.txt"
    kill "$(cat "$work/bulk-serve.pid")" "$(cat "$work/lo.pid")"; rm -f "$work/bulk-serve.pid" "$work/lo.pid"
    ;;
veth)
    echo "== veth: 10,000 GETs at 2,500/s over 5 connections to a namespace while a download from it is received"
    here=10.214.$(($$ % 250)).1
    there=10.214.$(($$ % 250)).2
    ip netns add "$ns"
    ip link add "$veth" type veth peer name eth0 netns "$ns"
    ip addr add "$here/30" dev "$veth"
    ip link set "$veth" up
    ip netns exec "$ns" ip addr add "$there/30" dev eth0
    ip netns exec "$ns" ip link set eth0 up
    ip netns exec "$ns" ip link set lo up
    nginx_conf far "$there"
    ip netns exec "$ns" nginx -c "$work/far.conf" -p "$work"
    ip netns exec "$ns" python3 bench/bulk_pair.py serve "$there" $((port + 1)) &
    echo $! >"$work/bulk-serve.pid"
    sleep 1

    capture veth "$veth" "$here"
    python3 bench/bulk_pair.py fetch "$there" $((port + 1)) 6 >"$work/veth-bulk.txt" &
    bulk=$!
    sleep 1
    python3 bench/send_requests.py $port --host "$there" --count 10000 --rate 2500 --connections 5 \
        --prefix /veth >"$work/veth-sent.txt"
    wait $bulk
    report veth "http://$there:$port/veth/"
    bulk_figures "$work/veth-bulk.txt"

    echo "-- the same GETs with no download"
    capture quiet "$veth" "$here"
    sleep 1
    python3 bench/send_requests.py $port --host "$there" --count 10000 --rate 2500 --connections 5 \
        --prefix /quiet >"$work/quiet-sent.txt"
    sleep 1
    report quiet "http://$there:$port/quiet/"
    kill "$(cat "$work/bulk-serve.pid")" "$(cat "$work/far.pid")"; rm -f "$work/bulk-serve.pid" "$work/far.pid"
    ;;
*)
    echo "usage: $0 [nginx|loopback|veth]..." >&2
    exit 2
    ;;
esac
done
