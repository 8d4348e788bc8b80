#!/usr/bin/env bash
# `make gui`: the desktop window against the demo's pieces. A simulated radar
# detector waits in disk mode in a private simulation folder and a loopback
# HTTP server plays the update server; the window finds the device, switches
# it and offers the server's package. Closing the window stops everything this
# script started.
set -euo pipefail
build=${1:-build}
work="$build/gui"
sim="$work/sim"
tessaly="$build/ui/qt/tessaly"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "gui: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so no window can be shown" >&2
    exit 1
fi
if [ ! -x "$tessaly" ]; then
    echo "gui: $tessaly is missing (configure with -DTESSALY_GUI=ON and build)" >&2
    exit 1
fi

source "$(dirname "$0")/sim_lib.sh"
# Interrupts end the script through its exit trap, which stops the helpers.
trap 'exit 130' INT TERM HUP
sim_folder "$sim"

sim_samples "$build" "$work/samples" >/dev/null
sim_devsim "$build" "$sim" gui disk k502-4m "$work/devsim.log"
sim_update_server "$work/samples" "$work/www" "$work/http.log" 20250101 k502-full

echo "simulated device (4 MiB, board K502) in disk mode in $sim; its log: $work/devsim.log"
echo "update server: $VERSION_URL names version 20250101 and k502-full.zip"
echo "packages to open or drop on the window: $work/samples/"
echo "service commands from another terminal: $tessaly --service 10000 (or 10001)"
# One copy per session: when a window already runs, this start only brings
# that one to the front.
status=0
TESSALY_SIM_DIR="$sim" TESSALY_VERSION_URL="$VERSION_URL" "$tessaly" --sim-dir "$sim" || status=$?
exit "$status"
