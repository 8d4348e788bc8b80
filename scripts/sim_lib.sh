# Pieces the demo and the soak share (sourced, not run): processes started
# here and stopped when the script exits, a simulated device in a private
# simulation folder, and a loopback HTTP server playing the update server.

sim_pids=()
sim_cleanup() {
    for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap sim_cleanup EXIT

# sim_devsim BUILD SIMDIR ID MODE PRESET LOG [more devsim options]: starts a
# device and waits until it is listed; DEVSIM_PID is its process.
sim_devsim() {
    local build=$1 dir=$2 id=$3 mode=$4 preset=$5 log=$6
    shift 6
    "$build/sim/tessaly-devsim" --dir "$dir" --id "$id" --mode "$mode" --preset "$preset" "$@" 2>"$log" &
    DEVSIM_PID=$!
    sim_pids+=("$DEVSIM_PID")
    local entry="disk#$id"
    [ "$mode" = hid ] && entry="hid#vid_0416&pid_b500#$id.sock"
    for _ in $(seq 50); do [ -e "$dir/$entry" ] && return 0; sleep 0.1; done
    echo "the simulated device did not appear (see $log)" >&2
    return 1
}

# sim_http_server FOLDER LOG: serves the folder on a free loopback port;
# HTTP_PORT is the port once it answers.
sim_http_server() {
    HTTP_PORT=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    python3 -m http.server --bind 127.0.0.1 --directory "$1" "$HTTP_PORT" >"$2" 2>&1 &
    sim_pids+=($!)
    for _ in $(seq 50); do curl -sf -o /dev/null "http://127.0.0.1:$HTTP_PORT/" && return 0; sleep 0.1; done
    echo "the HTTP server did not start (see $2)" >&2
    return 1
}

# sim_version_file FILE VERSION ADDRESS: a version file naming one package,
# with the line ends the update server uses.
sim_version_file() {
    printf '%s\r\n%s\r\n' "$2" "$3" >"$1"
}
