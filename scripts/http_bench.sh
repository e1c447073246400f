#!/usr/bin/env bash
# Proxy benchmark on loopback, in one run, against tinyproxy, squid (HTTP
# proxies), microsocks and dante (SOCKS 5 servers).  Every figure is the
# median of BENCH_RUNS runs (default 3) and is printed with its ratio to a
# direct download of the same file from the same nginx, and to the best peer:
#   - 1 KiB GET, 32 connections, keep-alive and "Connection: close" (wrk);
#   - proxy CPU per 1 KiB request (during the keep-alive run);
#   - one 100 MiB GET through the proxy, through a CONNECT tunnel (TLS) and
#     through SOCKS 5 (our SOCKS instance relays that port as pass-through);
#   - SOCKS 5 connections per second: a new connection and one 1 KiB GET
#     each, one after another (scripts/bench_conn.c);
#   - memory per idle client connection: 1,000 connections held, the growth
#     of the proportional set size of the server's processes.
#
# usage: scripts/http_bench.sh BUILD   (make bench runs it)
#   BENCH_SECONDS (default 5) sets the time of each rate run, BENCH_RUNS the
#   number of runs, BENCH_IDLE (default 1000) the idle connections.
set -euo pipefail
build=${1:?usage: http_bench.sh BUILD}
bin=$(cd "$build" && pwd)/ruvohprx
secs=${BENCH_SECONDS:-5}
runs=${BENCH_RUNS:-3}
idle=${BENCH_IDLE:-1000}
for tool in wrk nginx tinyproxy squid microsocks danted curl openssl cc; do
  command -v "$tool" >/dev/null || [[ -x /usr/sbin/$tool ]] || { echo "bench: $tool missing (scripts/deps.txt)" >&2; exit 1; }
done
sbin() { command -v "$1" || echo "/usr/sbin/$1"; }
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

work=$(mktemp -d /tmp/ruvo-bench.XXXXXX)
chmod 755 "$work"   # nginx's and squid's workers run as other users
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [[ -f $work/nginx.pid ]] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  [[ -f $work/squid/squid.pid ]] && kill "$(cat "$work/squid/squid.pid")" 2>/dev/null || true
  sleep 0.3
  rm -rf "$work"
}
trap cleanup EXIT
[[ -n ${BENCH_DEBUG:-} ]] && set -x

port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 1 200); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "bench: nothing listens on $1" >&2; exit 1
}
cc -O2 -o "$work/bench_conn" "$(dirname "$0")/bench_conn.c"

# ---- origin: nginx, plain and TLS -----------------------------------------
mkdir -p "$work/www" "$work/nginx-tmp"
head -c 1024 /dev/urandom > "$work/www/1k.bin"
head -c 104857600 /dev/urandom > "$work/www/100m.bin"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
http_port=$(port); tls_port=$(port)
# The runs with a connection per request leave tens of thousands of
# connections in TIME_WAIT; each target of those rows gets an origin port of
# its own, so no run inherits the used-up port pairs of the one before it.
conn_ports=($(port) $(port) $(port) $(port) $(port) $(port) $(port) $(port))
cat > "$work/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log crit;
daemon on;
events { worker_connections 4096; }
http {
  access_log off;
  client_body_temp_path $work/nginx-tmp;
  proxy_temp_path $work/nginx-tmp;
  fastcgi_temp_path $work/nginx-tmp;
  uwsgi_temp_path $work/nginx-tmp;
  scgi_temp_path $work/nginx-tmp;
  keepalive_requests 1000000;
  sendfile on;
  server {
    listen 127.0.0.1:$http_port;
    listen 127.0.0.1:${conn_ports[0]};
    listen 127.0.0.1:${conn_ports[1]};
    listen 127.0.0.1:${conn_ports[2]};
    listen 127.0.0.1:${conn_ports[3]};
    listen 127.0.0.1:${conn_ports[4]};
    listen 127.0.0.1:${conn_ports[5]};
    listen 127.0.0.1:${conn_ports[6]};
    listen 127.0.0.1:${conn_ports[7]};
    root $work/www;
  }
  server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    root $work/www;
  }
}
EOF
"$(sbin nginx)" -c "$work/nginx.conf" -p "$work" 2>/dev/null
wait_port "$http_port"; wait_port "$tls_port"

# ---- this proxy: HTTP with keep-alive (-!=0), and SOCKS ------------------------
mkdir -p "$work/home/TORV"
echo "https://127.0.0.1:$tls_port/" > "$work/home/TORV/white.db"
# The SOCKS instance relays the origin's port without inspection.
printf '%s,6,1\n' "$http_port" "${conn_ports[1]}" > "$work/home/TORV/socks-ptl.ini"
our_port=$(port); our_socks=$(port)
RUVO_BENCH_HOME=$work/home "$bin" -E=RUVO_BENCH_HOME -P=0 "-L=127.0.0.1 $our_port" '-!=0' \
  -T=600000,600000 > "$work/ours.out" 2>&1 &
pids+=($!); our_pid=$!
RUVO_BENCH_HOME=$work/home "$bin" -E=RUVO_BENCH_HOME -P=5 "-L=127.0.0.1 $our_socks" > "$work/socks.out" 2>&1 &
pids+=($!); our_socks_pid=$!

# ---- tinyproxy -----------------------------------------------------------------
tiny_port=$(port)
cat > "$work/tinyproxy.conf" <<EOF
Port $tiny_port
Listen 127.0.0.1
Timeout 600
MaxClients 2048
Allow 127.0.0.1
ConnectPort $tls_port
LogLevel Critical
LogFile "$work/tinyproxy.log"
PidFile "$work/tinyproxy.pid"
EOF
tinyproxy -d -c "$work/tinyproxy.conf" > /dev/null 2>&1 &
pids+=($!); tiny_pid=$!

# ---- squid (memory cache only, no logs) ------------------------------------------
squid_port=$(port)
mkdir -p "$work/squid"; chmod 777 "$work/squid"
cat > "$work/squid.conf" <<EOF
http_port 127.0.0.1:$squid_port
http_access allow all
acl SSL_ports port $tls_port
http_access allow CONNECT SSL_ports
cache deny all
access_log none
cache_log $work/squid/cache.log
pid_filename $work/squid/squid.pid
coredump_dir $work/squid
max_filedescriptors 8192
shutdown_lifetime 0 seconds
EOF
"$(sbin squid)" -N -f "$work/squid.conf" > /dev/null 2>&1 &
pids+=($!); squid_pid=$!

# ---- microsocks and dante ---------------------------------------------------------
micro_port=$(port); dante_port=$(port)
microsocks -i 127.0.0.1 -p "$micro_port" > /dev/null 2>&1 &
pids+=($!); micro_pid=$!
cat > "$work/danted.conf" <<EOF
logoutput: $work/danted.log
internal: 127.0.0.1 port = $dante_port
external: 127.0.0.1
socksmethod: none
clientmethod: none
user.privileged: root
user.unprivileged: nobody
client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }
EOF
"$(sbin danted)" -f "$work/danted.conf" -p "$work/danted.pid" > /dev/null 2>&1 &
pids+=($!); dante_pid=$!
for p in "$our_port" "$our_socks" "$tiny_port" "$squid_port" "$micro_port" "$dante_port"; do wait_port "$p"; done

# ---- helpers ----------------------------------------------------------------------
median() { sort -g | awk '{v[NR]=$1} END {if (NR == 0) print 0; else if (NR % 2) print v[(NR+1)/2]; else print (v[NR/2]+v[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v d="$2" 'BEGIN {if (d > 0 && a > 0) printf "%.2f", a / d; else print "-"}'; }
# A process and all its descendants.
tree() {
  local p=$1 c
  echo "$p"
  for c in $(pgrep -P "$p" 2>/dev/null); do tree "$c"; done
}
# CPU time of a process tree, in clock ticks.
cpu_ticks() {
  local t=0 p
  for p in $(tree "$1"); do
    t=$((t + $(awk '{print $14 + $15}' "/proc/$p/stat" 2>/dev/null || echo 0)))
  done
  echo "$t"
}
# Proportional set size of a process tree, in KiB.
pss_kib() {
  local t=0 p
  for p in $(tree "$1"); do
    t=$((t + $(awk '/^Pss:/ {print $2}' "/proc/$p/smaps_rollup" 2>/dev/null || echo 0)))
  done
  echo "$t"
}
hz=$(getconf CLK_TCK)

wrk_script() {  # wrk_script FILE ABSOLUTE(0/1) CLOSE(0/1)
  {
    [[ $2 == 1 ]] && echo "wrk.path = \"http://127.0.0.1:${origin:-$http_port}/1k.bin\"" || echo 'wrk.path = "/1k.bin"'
    [[ $3 == 1 ]] && echo 'wrk.headers["Connection"] = "close"'
  } > "$1"
}
# rps PORT ABSOLUTE CLOSE [PID]: requests per second (median); with PID the
# CPU microseconds per request of that process tree go to $work/cpu.
rps() {
  local s=$work/wrk-$1-$2-$3-${origin:-0}.lua out r c0 c1 n
  wrk_script "$s" "$2" "$3"
  : > "$work/rps.runs"; : > "$work/cpu.runs"
  for _ in $(seq 1 "$runs"); do
    [[ -n ${4:-} ]] && c0=$(cpu_ticks "$4")
    out=$(wrk -t2 -c32 -d"${secs}s" -s "$s" "http://127.0.0.1:$1" 2>/dev/null || true)
    echo "$out" | awk '/^Requests\/sec:/ {print $2}' >> "$work/rps.runs"
    if [[ -n ${4:-} ]]; then
      c1=$(cpu_ticks "$4")
      n=$(echo "$out" | awk '/requests in/ {print $1}')
      awk -v c=$((c1 - c0)) -v n="${n:-0}" -v hz="$hz" 'BEGIN {if (n > 0) printf "%.1f\n", c / hz * 1e6 / n}' >> "$work/cpu.runs"
    fi
  done
  median < "$work/cpu.runs" > "$work/cpu"
  median < "$work/rps.runs"
}
# speed CURL-ARGS...: MiB/s of the 100 MiB download (median); a short
# answer (an error page) counts as nothing.
speed() {
  local v
  for _ in $(seq 1 "$runs"); do
    v=$(curl -s -o /dev/null -w '%{size_download} %{speed_download}' --max-time 120 "$@" |
        awk '$1 == 104857600 {print $2 / 1048576; exit} {print 0}') || v=0
    echo "$v"
  done | median | awk '{printf "%.1f", $1}'
}
# conns MODE PORT...: connections per second (median) of bench_conn.
conns() {
  for _ in $(seq 1 "$runs"); do
    "$work/bench_conn" "$@" "$secs" 2>/dev/null || echo 0
  done | median
}
# idle_kib PID PORT: KiB per idle client connection, BENCH_IDLE of them held.
idle_kib() {
  local before after
  before=$(pss_kib "$1")
  /usr/bin/python3 - "$2" "$idle" "$work/hold.ready" <<'EOF' &
import socket, sys, time
port, count, ready = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
held = []
for _ in range(count):
    held.append(socket.create_connection(("127.0.0.1", port)))
open(ready, "w").close()
time.sleep(30)
EOF
  local holder=$!
  for _ in $(seq 1 300); do [[ -f $work/hold.ready ]] && break; sleep 0.1; done
  sleep 3   # every connection thread has started and waits
  after=$(pss_kib "$1")
  kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null || true
  rm -f "$work/hold.ready"
  sleep 2
  awk -v a="$after" -v b="$before" -v n="$idle" 'BEGIN {printf "%.1f", (a - b) / n}'
}

# row NAME UNIT DIRECT OURS [PEER VALUE]...: higher is better unless UNIT
# ends in "(lower)".
printf "%-44s %9s %9s %6s" "figure" "direct" "ruvohprx" "ratio"
printf " %s\n" "| peers: value (ratio to direct) ... | ours / best peer"
row() {
  local name=$1 unit=$2 direct=$3 ours=$4 best="" line="" lower=0
  shift 4
  [[ $unit == *"(lower)" ]] && lower=1
  while (($# >= 2)); do
    line+=$(printf " %s %s (%s)" "$1" "$2" "$(ratio "$2" "$direct")")
    if awk -v v="$2" 'BEGIN {exit !(v > 0)}'; then
      if [[ -z $best ]] || awk -v v="$2" -v b="$best" -v l="$lower" 'BEGIN {exit !(l ? v < b : v > b)}'; then best=$2; fi
    fi
    shift 2
  done
  local vs
  if ((lower)); then vs=$(ratio "$best" "$ours"); else vs=$(ratio "$ours" "$best"); fi
  printf "%-44s %9s %9s %6s |%s | %s  %s\n" "$name" "$direct" "$ours" "$(ratio "$ours" "$direct")" "$line" "$vs" "$unit"
}

echo "# $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), medians of $runs runs, ${secs}s each rate run"
d=$(rps "$http_port" 0 0)
o=$(rps "$our_port" 1 0 "$our_pid"); oc=$(cat "$work/cpu")
t=$(rps "$tiny_port" 1 0 "$tiny_pid"); tc=$(cat "$work/cpu")
s=$(rps "$squid_port" 1 0 "$squid_pid"); sc=$(cat "$work/cpu")
row "1 KiB GET, 32 conns, keep-alive" "req/s" "$d" "$o" tinyproxy "$t" squid "$s"
row "proxy CPU per 1 KiB request" "us (lower)" "-" "$oc" tinyproxy "$tc" squid "$sc"
d=$(rps "${conn_ports[4]}" 0 1)
o=$(origin=${conn_ports[5]} rps "$our_port" 1 1)
t=$(origin=${conn_ports[6]} rps "$tiny_port" 1 1)
s=$(origin=${conn_ports[7]} rps "$squid_port" 1 1)
row "1 KiB GET, 32 conns, Connection: close" "req/s" "$d" "$o" tinyproxy "$t" squid "$s"

big="http://127.0.0.1:$http_port/100m.bin"
tls_big="https://127.0.0.1:$tls_port/100m.bin"
d=$(speed "$big")
row "100 MiB GET through the proxy" "MiB/s" "$d" "$(speed -x "http://127.0.0.1:$our_port" "$big")" \
  tinyproxy "$(speed -x "http://127.0.0.1:$tiny_port" "$big")" squid "$(speed -x "http://127.0.0.1:$squid_port" "$big")"
row "100 MiB through a CONNECT tunnel (TLS)" "MiB/s" "$(speed -k "$tls_big")" \
  "$(speed -k -x "http://127.0.0.1:$our_port" "$tls_big")" \
  tinyproxy "$(speed -k -x "http://127.0.0.1:$tiny_port" "$tls_big")" \
  squid "$(speed -k -x "http://127.0.0.1:$squid_port" "$tls_big")"
row "100 MiB through SOCKS 5 (pass-through)" "MiB/s" "$d" "$(speed --socks5 "127.0.0.1:$our_socks" "$big")" \
  microsocks "$(speed --socks5 "127.0.0.1:$micro_port" "$big")" dante "$(speed --socks5 "127.0.0.1:$dante_port" "$big")"
row "SOCKS 5 connections/s (1 KiB GET each)" "conn/s" "$(conns direct "${conn_ports[0]}" /1k.bin)" \
  "$(conns socks "$our_socks" "${conn_ports[1]}" /1k.bin)" \
  microsocks "$(conns socks "$micro_port" "${conn_ports[2]}" /1k.bin)" \
  dante "$(conns socks "$dante_port" "${conn_ports[3]}" /1k.bin)"
row "KiB per idle SOCKS connection ($idle held)" "KiB (lower)" "-" "$(idle_kib "$our_socks_pid" "$our_socks")" \
  microsocks "$(idle_kib "$micro_pid" "$micro_port")" dante "$(idle_kib "$dante_pid" "$dante_port")"
row "KiB per idle HTTP connection ($idle held)" "KiB (lower)" "-" "$(idle_kib "$our_pid" "$our_port")" \
  tinyproxy "$(idle_kib "$tiny_pid" "$tiny_port")" squid "$(idle_kib "$squid_pid" "$squid_port")"
echo "# load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
