# Pieces the demo, the soak and `make gui` share (sourced, not run):
# processes started here and stopped when the script exits, a simulated device
# in a private simulation folder, the sample packages, and a loopback HTTP
# server playing the update server.

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

# sim_folder DIR: a fresh, private simulation folder (the device layer refuses
# one that others can write to).
sim_folder() {
    rm -rf "$1"
    mkdir -p "$(dirname "$1")"
    mkdir -m 700 "$1"
}

# sim_samples BUILD DIR: the sample update packages, made afresh; prints what
# tessaly-pack made.
sim_samples() {
    rm -rf "$2"
    "$1/tools/tessaly-pack" sample "$2"
}

# sim_update_server SAMPLES WWW LOG VERSION PACKAGE: the update server on a
# loopback port, offering SAMPLES/PACKAGE.dzr zipped as PACKAGE.zip under the
# version VERSION; VERSION_URL is then the address of its version file.
sim_update_server() {
    local samples=$1 www=$2 log=$3 version=$4 package=$5
    rm -rf "$www"
    mkdir -p "$www"
    local zipFile
    zipFile="$(cd "$www" && pwd)/$package.zip"
    (cd "$samples" && zip -q "$zipFile" "$package.dzr")
    sim_http_server "$www" "$log"
    sim_version_file "$www/version.txt" "$version" "http://127.0.0.1:$HTTP_PORT/$package.zip"
    VERSION_URL="http://127.0.0.1:$HTTP_PORT/version.txt"
}
