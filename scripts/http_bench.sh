#!/usr/bin/env bash
# HTTP proxy benchmark on loopback, in one run:
#   - requests per second, 32 connections, 1 KiB responses (wrk), with and
#     without keep-alive;
#   - throughput of one 100 MiB download (curl);
#   - throughput of a CONNECT tunnel carrying a 100 MiB TLS download;
# each directly, through this proxy (ruvohprx -P=0) and through tinyproxy,
# printed with the ratio to the direct figure.  The origin is nginx.
#
# usage: scripts/http_bench.sh BUILD   (make bench runs it)
#   BENCH_SECONDS (default 5) sets the wrk run time.
set -euo pipefail
build=${1:?usage: http_bench.sh BUILD}
bin=$(cd "$build" && pwd)/ruvohprx
secs=${BENCH_SECONDS:-5}
for tool in wrk nginx tinyproxy curl openssl; do
  command -v "$tool" >/dev/null || [[ -x /usr/sbin/$tool ]] || { echo "bench: $tool missing (scripts/deps.txt)" >&2; exit 1; }
done
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d /tmp/ruvo-bench.XXXXXX)
chmod 755 "$work"   # nginx's workers run as another user
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [[ -f $work/nginx.pid ]] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  sleep 0.2
  rm -rf "$work"
}
trap cleanup EXIT
[[ -n ${BENCH_DEBUG:-} ]] && set -x

port() { /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
wait_port() {
  for _ in $(seq 1 100); do
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
    sleep 0.05
  done
  echo "bench: nothing listens on $1" >&2; exit 1
}

# ---- origin: nginx, plain and TLS -----------------------------------------
mkdir -p "$work/www" "$work/nginx-tmp"
head -c 1024 /dev/urandom > "$work/www/1k.bin"
head -c 104857600 /dev/urandom > "$work/www/100m.bin"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 \
  -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
http_port=$(port); tls_port=$(port)
cat > "$work/nginx.conf" <<EOF
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx-error.log crit;
daemon on;
events { worker_connections 1024; }
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
"$nginx_bin" -c "$work/nginx.conf" -p "$work" 2>/dev/null
wait_port "$http_port"; wait_port "$tls_port"

# ---- this proxy: one instance with keep-alive (-!=0), one without --------
mkdir -p "$work/home/TORV"
echo "https://127.0.0.1:$tls_port/" > "$work/home/TORV/white.db"
ka_port=$(port); close_port=$(port)
RUVO_BENCH_HOME=$work/home "$bin" -E=RUVO_BENCH_HOME -P=0 "-L=127.0.0.1 $ka_port" '-!=0' > "$work/ka.out" 2>&1 &
pids+=($!)
RUVO_BENCH_HOME=$work/home "$bin" -E=RUVO_BENCH_HOME -P=0 "-L=127.0.0.1 $close_port" > "$work/close.out" 2>&1 &
pids+=($!)

# ---- tinyproxy (the peer) -------------------------------------------------
tiny_port=$(port)
cat > "$work/tinyproxy.conf" <<EOF
Port $tiny_port
Listen 127.0.0.1
Timeout 600
MaxClients 256
Allow 127.0.0.1
ConnectPort $tls_port
LogLevel Critical
LogFile "$work/tinyproxy.log"
PidFile "$work/tinyproxy.pid"
EOF
tinyproxy -d -c "$work/tinyproxy.conf" > /dev/null 2>&1 &
pids+=($!)
wait_port "$ka_port"; wait_port "$close_port"; wait_port "$tiny_port"

# ---- measurements -----------------------------------------------------------
# wrk through a proxy: absolute-form request line on the proxy's socket.
wrk_script() {  # wrk_script FILE ABSOLUTE(0/1) KEEPALIVE(0/1)
  {
    [[ $2 == 1 ]] && echo "wrk.path = \"http://127.0.0.1:$http_port/1k.bin\"" || echo 'wrk.path = "/1k.bin"'
    [[ $3 == 1 ]] && echo 'wrk.headers["Proxy-Connection"] = "keep-alive"' \
                  || echo 'wrk.headers["Connection"] = "close"'
  } > "$1"
}
rps() {  # rps PORT ABSOLUTE KEEPALIVE
  local s=$work/wrk-$1-$2-$3.lua
  wrk_script "$s" "$2" "$3"
  wrk -t2 -c32 -d"${secs}s" -s "$s" "http://127.0.0.1:$1" 2>/dev/null |
    awk '/^Requests\/sec:/ {print $2}'
}
# Best of three downloads, in MB/s.
speed() {  # speed CURL-ARGS...
  local best=0 v
  for _ in 1 2 3; do
    # A short answer (an error page) counts as nothing.
    v=$(curl -s -o /dev/null -w '%{size_download} %{speed_download}' --max-time 120 "$@" |
        awk '$1 == 104857600 {print $2; exit} {print 0}') || v=0
    best=$(awk -v a="$best" -v b="$v" 'BEGIN {print (b > a) ? b : a}')
  done
  awk -v b="$best" 'BEGIN {printf "%.1f", b / 1048576}'
}
ratio() { awk -v a="$1" -v d="$2" 'BEGIN {if (d > 0) printf "%.2f", a / d; else print "-"}'; }
row() {  # row NAME DIRECT OURS TINY UNIT
  printf "%-34s %10s %10s %6s %10s %6s  %s\n" "$1" "$2" "$3" "$(ratio "$3" "$2")" "$4" "$(ratio "$4" "$2")" "$5"
}

big="http://127.0.0.1:$http_port/100m.bin"
tls_big="https://127.0.0.1:$tls_port/100m.bin"
echo "ruvohprx benchmark on loopback ($(nproc) cores), wrk ${secs}s x 32 connections, origin nginx"
printf "%-34s %10s %10s %6s %10s %6s  %s\n" "measure" "direct" "ruvohprx" "ratio" "tinyproxy" "ratio" "unit"
row "1 KiB GET, keep-alive" \
  "$(rps "$http_port" 0 1)" "$(rps "$ka_port" 1 1)" "$(rps "$tiny_port" 1 1)" "req/s"
row "1 KiB GET, no keep-alive" \
  "$(rps "$http_port" 0 0)" "$(rps "$close_port" 1 0)" "$(rps "$tiny_port" 1 0)" "req/s"
row "100 MiB download" \
  "$(speed "$big")" "$(speed -x "http://127.0.0.1:$close_port" "$big")" \
  "$(speed -x "http://127.0.0.1:$tiny_port" "$big")" "MiB/s"
row "100 MiB through a CONNECT tunnel" \
  "$(speed -k "$tls_big")" "$(speed -k -x "http://127.0.0.1:$close_port" "$tls_big")" \
  "$(speed -k -x "http://127.0.0.1:$tiny_port" "$tls_big")" "MiB/s"
