#!/usr/bin/env bash
# with-nginx.sh COMMAND [ARGS...]
#
# Runs COMMAND (a test program under Wine) beside an nginx of its own on
# 127.0.0.1, and ends nginx afterwards. The test finds it through
# TAVLIN_TEST_NGINX_URL (http://127.0.0.1:PORT), TAVLIN_TEST_NGINX_ROOT (the
# served folder as a Windows path on Wine's Z: drive) and
# TAVLIN_TEST_NGINX_LOG (its access log, "METHOD URI "RANGE" STATUS BYTES");
# TAVLIN_TEST_NGINX_DIR is the served folder's own path.
# Files under /slow/ go out at 8 MiB/s per connection. A Windows program
# cannot start a Linux one itself, so the server is started from this side.
set -euo pipefail

nginx=$(command -v nginx || true)
[[ -z "$nginx" && -x /usr/sbin/nginx ]] && nginx=/usr/sbin/nginx
if [[ -z "$nginx" ]]; then
    echo "with-nginx.sh: nginx is not installed" >&2
    exit 1
fi

dir=$(mktemp -d "${TMPDIR:-/tmp}/tavlin-win-nginx.XXXXXX")
pid=
cleanup() {
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir/root/slow" "$dir/tmp"

accepts() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

port=
for attempt in 1 2 3 4 5; do
    candidate=$((20000 + RANDOM % 40000))
    accepts "$candidate" && continue
    user=
    [[ $(id -u) == 0 ]] && user="user root root;"
    cat >"$dir/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
$user
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 256; }
http {
  log_format dl '\$request_method \$uri "\$http_range" \$status \$body_bytes_sent';
  access_log $dir/access.log dl;
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp;
  scgi_temp_path $dir/tmp;
  server {
    listen 127.0.0.1:$candidate;
    root $dir/root;
    location /slow/ { limit_rate 8m; }
  }
}
CONF
    "$nginx" -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" &
    pid=$!
    for _ in $(seq 1 100); do
        if accepts "$candidate"; then port=$candidate; break; fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.05
    done
    [[ -n "$port" ]] && break
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
done
if [[ -z "$port" ]]; then
    echo "with-nginx.sh: nginx did not start" >&2
    cat "$dir/error.log" >&2 2>/dev/null || true
    exit 1
fi

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
export TAVLIN_TEST_NGINX_URL="http://127.0.0.1:$port"
export TAVLIN_TEST_NGINX_DIR="$dir/root"
export TAVLIN_TEST_NGINX_ROOT
TAVLIN_TEST_NGINX_ROOT=$(windows_path "$dir/root")
export TAVLIN_TEST_NGINX_LOG
TAVLIN_TEST_NGINX_LOG=$(windows_path "$dir/access.log")
set +e
"$@"
status=$?
set -e
exit $status
