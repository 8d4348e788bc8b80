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
rm -rf "$work/samples" "$sim" "$www"
mkdir -p "$work" "$www"
mkdir -m 700 "$sim"

source "$(dirname "$0")/sim_lib.sh"

echo "== Sample update packages"
"$build/tools/tessaly-pack" sample "$work/samples" | grep -E '\.(dzr|zip)$|total'

echo
echo "== A simulated device (4 MiB, 502 map, board K502) plugged in as a disk"
sim_devsim "$build" "$sim" demo disk k502-4m "$work/devsim.log"
"$cli" --sim-dir "$sim" devices

echo
echo "== The update server on a loopback port"
(cd "$work/samples" && zip -q "$OLDPWD/$www/k502-full.zip" k502-full.dzr)
sim_http_server "$www" "$work/http.log"
port=$HTTP_PORT
sim_version_file "$www/version.txt" 20250101 "http://127.0.0.1:$port/k502-full.zip"
echo "version file http://127.0.0.1:$port/version.txt names version 20250101 and k502-full.zip"

echo
echo "== Update from the server: switch, identify, look up, download, unpack, plan, write"
"$cli" --sim-dir "$sim" update --version-url "http://127.0.0.1:$port/version.txt"
echo
"$cli" --sim-dir "$sim" info

echo
echo "== Update from a local package too large for the device, with three provinces"
"$cli" --sim-dir "$sim" inspect "$work/samples/provinces-4m.dzr" | sed -n '/province GPS records/,$p'
"$cli" --sim-dir "$sim" update --package "$work/samples/provinces-4m.dzr" --provinces 北京,上海,广东
echo
"$cli" --sim-dir "$sim" info

echo
echo "== What the device received (the simulated device's command log, last lines)"
tail -n 5 "$work/devsim.log"
