# Shell helpers of the demo and example scripts; source it. The caller
# defines fail MESSAGE (prints and exits).

# Waits up to $2 seconds for the command text $1 to succeed.
wait_for() {
    local cmd=$1 seconds=$2 i
    for ((i = 0; i < seconds * 10; i++)); do
        if eval "$cmd"; then return 0; fi
        sleep 0.1
    done
    return 1
}

# True while the process exists and has not ended (a zombie has ended).
alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# start_nginx DIR ROOT [SERVER_LINE...]: nginx in the foreground on
# 127.0.0.1 at a random free port, serving ROOT, with its configuration,
# logs and temporary files in DIR; each SERVER_LINE is added to the server
# block. Sets port and nginx_pid.
start_nginx() {
    local dir=$1 root=$2 attempt line
    shift 2
    mkdir -p "$dir/tmp"
    for attempt in 1 2 3 4 5; do
        port=$((20000 + RANDOM % 30000))
        {
            echo "daemon off; master_process off; worker_processes 1;"
            # As (mapped) root nginx would hand its folders to "nobody".
            if [ "$(id -u)" -eq 0 ]; then echo "user root root;"; fi
            echo "pid $dir/nginx.pid; error_log $dir/error.log;"
            echo "events { worker_connections 64; }"
            echo "http {"
            echo "  access_log $dir/access.log;"
            for kind in client_body proxy fastcgi uwsgi scgi; do echo "  ${kind}_temp_path $dir/tmp;"; done
            echo "  server {"
            echo "    listen 127.0.0.1:$port;"
            echo "    root $root;"
            for line in "$@"; do echo "    $line"; done
            echo "  }"
            echo "}"
        } >"$dir/nginx.conf"
        nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" &
        nginx_pid=$!
        if wait_for '! alive $nginx_pid || (exec 3<>/dev/tcp/127.0.0.1/$port) 2>/dev/null' 5 && alive "$nginx_pid"; then
            return 0
        fi
        nginx_pid=
    done
    fail "nginx did not start: $(cat "$dir/error.log")"
}

# start_xvfb DIR: a private Xvfb (its display number and log in DIR) when
# there is no display. Sets xvfb_pid and DISPLAY.
start_xvfb() {
    local dir=$1
    [ -z "${DISPLAY:-}" ] || return 0
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1024x768x24 3>"$dir/display" 2>"$dir/xvfb.log" &
    xvfb_pid=$!
    wait_for '[ -s "$dir/display" ]' 10 || fail "Xvfb did not start: $(cat "$dir/xvfb.log")"
    export DISPLAY=:$(head -n1 "$dir/display")
    echo "no display: started Xvfb on $DISPLAY"
}
