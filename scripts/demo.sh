#!/usr/bin/env bash
# The demo: the main job of the tool against the simulated device.
set -euo pipefail
build=${1:-build}
work="$build/demo"
rm -rf "$work/samples"
mkdir -p "$work"

echo "== The command channel against a simulated device"
"$build/tools/tessaly-channel-demo" --flash-image "$work/flash.img"

echo
echo "== Sample update packages"
"$build/tools/tessaly-pack" sample "$work/samples" | grep -E '\.(dzr|zip)$|total'

echo
echo "== What the zipped sample package carries"
"$build/cli/tessaly-cli" inspect "$work/samples/mvt7-full.zip"

echo
echo "== Writing the sample package into a simulated 502-map device"
"$build/tools/tessaly-machine-demo" --preset 502 "$work/samples/mvt7-full.dzr" 2>&1 | grep -v '^\['
