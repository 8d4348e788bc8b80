#!/usr/bin/env bash
# The demo: the tool's main job against a simulated device. A simulated radar
# detector starts in disk mode in a private simulation folder, a local HTTP
# server plays the update server, and tessaly-cli switches the device,
# identifies it, looks the newest package up, downloads, unpacks and writes it;
# then a second update from a local package that is too large for the device,
# with a province choice. Everything started here is stopped at the end.
set -euo pipefail
build=${1:-build}
work="$build/demo"
sim="$work/sim"
www="$work/www"
cli="$build/cli/tessaly-cli"
source "$(dirname "$0")/sim_lib.sh"
sim_folder "$sim"

echo "== Sample update packages"
sim_samples "$build" "$work/samples" | grep -E '\.(dzr|zip)$|total'

echo
echo "== A simulated device (4 MiB, 502 map, board K502) plugged in as a disk"
sim_devsim "$build" "$sim" demo disk k502-4m "$work/devsim.log"
"$cli" --sim-dir "$sim" devices

echo
echo "== The update server on a loopback port"
sim_update_server "$work/samples" "$www" "$work/http.log" 20250101 k502-full
echo "version file $VERSION_URL names version 20250101 and k502-full.zip"

echo
echo "== Update from the server: switch, identify, look up, download, unpack, plan, write"
"$cli" --sim-dir "$sim" update --assume-yes --version-url "$VERSION_URL"
echo
"$cli" --sim-dir "$sim" info

echo
echo "== Update from a local package too large for the device, with three provinces"
"$cli" --sim-dir "$sim" inspect "$work/samples/provinces-4m.dzr" | sed -n '/province GPS records/,$p'
"$cli" --sim-dir "$sim" update --assume-yes --package "$work/samples/provinces-4m.dzr" --provinces 北京,上海,广东
echo
"$cli" --sim-dir "$sim" info

echo
echo "== What the device received (the simulated device's command log, last lines)"
tail -n 5 "$work/devsim.log"
