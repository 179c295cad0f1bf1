# Shared by the download benchmarks: a local nginx with one config line of the caller's inside its server
# block, serving a file of random bytes. Source it, then call
#   start_nginx "<extra config>" <size in MiB> [rate per connection]
# With a rate, the URL goes through nginx's TCP proxy, which holds every connection to that many bytes a
# second (nginx's own limit_rate counts per request, so a client that asks range after range on one
# connection would escape it). Sets $dir (removed at exit), $url (the file) and $out (a folder on the same
# filesystem for the targets).

dir=$(mktemp -d)
nginx_pid=
trap '[ -n "$nginx_pid" ] && kill "$nginx_pid" 2>/dev/null; rm -rf "$dir"' EXIT

start_nginx() {
  local extra=$1 mib=$2 per_connection=${3:-}
  mkdir -p "$dir/www" "$dir/logs" "$dir/tmp" "$dir/out"
  head -c "$((mib * 1024 * 1024))" /dev/urandom > "$dir/www/big.bin"
  local port front stream="" load=""
  port=$(free_port)
  front=$port
  if [ -n "$per_connection" ]; then
    front=$(free_port)
    load="load_module /usr/lib/nginx/modules/ngx_stream_module.so;"
    stream="stream { server { listen 127.0.0.1:$front; proxy_pass 127.0.0.1:$port; proxy_download_rate $per_connection; } }"
  fi
  cat > "$dir/nginx.conf" <<CONF
$load
daemon off; master_process off; worker_processes 1; pid $dir/nginx.pid; error_log $dir/logs/error.log;
events { worker_connections 64; }
$stream
http { access_log off; sendfile on; client_body_temp_path $dir/tmp; proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp; uwsgi_temp_path $dir/tmp; scgi_temp_path $dir/tmp;
  server { listen 127.0.0.1:$port; root $dir/www; $extra } }
CONF
  nginx -p "$dir" -c "$dir/nginx.conf" & nginx_pid=$!
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$front/" && break; sleep 0.1; done
  url="http://127.0.0.1:$front/big.bin"
  out="$dir/out"
}

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }

# Wall seconds of a command, its output discarded.
wall() {
  local t0 t1
  t0=$(date +%s.%N)
  "$@" > /dev/null
  t1=$(date +%s.%N)
  echo "$t1 - $t0" | bc
}

# Checks a downloaded file against the served one.
same() { cmp -s "$1" "$dir/www/big.bin" || { echo "MISMATCH: $1" >&2; exit 1; }; }
