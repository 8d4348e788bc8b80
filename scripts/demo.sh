#!/usr/bin/env bash
# The demo: the main job of the tool against the simulated device.
set -euo pipefail
build=${1:-build}
work="$build/demo"
mkdir -p "$work"
"$build/tools/tessaly-channel-demo" --flash-image "$work/flash.img"
