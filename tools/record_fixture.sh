#!/bin/sh
# Records the loopback capture the scan tests use: a real curl and a real wget fetch
# from a local server, as Linux puts them on the wire (TCP timestamps on every segment),
# plus a POST that must not be filed. Needs root (tcpdump), python3, curl, wget.
# The other link types are made from it with pcap_relink.py.
set -eu
out=${1:-tests/fixtures}
port=18081
root=$(mktemp -d)
mkdir -p "$root/x" "$root/a"
echo hello >"$root/x/y.mp3"
echo img >"$root/a/b.jpg"
python3 -m http.server $port --bind 127.0.0.1 --directory "$root" >/dev/null 2>&1 &
server=$!
tcpdump -i lo -U -w "$out/lo-curl.pcap" "tcp port $port" >/dev/null 2>&1 &
dump=$!
sleep 1.5
curl -s "http://127.0.0.1:$port/x/y.mp3" >/dev/null
wget -q -O /dev/null "http://127.0.0.1:$port/a/b.jpg"
curl -s -X POST -d a=1 "http://127.0.0.1:$port/post.mp3" >/dev/null || true
sleep 1
kill $dump $server
wait 2>/dev/null || true
rm -rf "$root"
here=$(dirname "$0")
for kind in raw null sll sll2; do
  "$here/pcap_relink.py" "$out/lo-curl.pcap" "$out/lo-curl-$kind.pcap" $kind
done
"$here/pcap_relink.py" "$out/lo-curl.pcap" "$out/lo-curl-truncated.pcap" 1 --truncate-last 20
"$here/pcap_relink.py" "$out/lo-curl.pcap" "$out/wifi.pcap" 105
editcap -F pcapng "$out/lo-curl.pcap" "$out/lo-curl.pcapng"
