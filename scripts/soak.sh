#!/usr/bin/env bash
# The soak: many updates in a row against ONE simulated device, as a device
# in the field sees them. Runs take turns between two packages (so a write
# that did not happen leaves the other package's data behind) and between
# three sources: a local .dzr, a local zip, and the update server (a version
# file and a zip on a loopback HTTP server). One run in ten arms a random
# fault for its session. After every run the script checks what the tool
# said against what happened:
#   - a run that says "更新成功！" must exit 0 and leave the device holding
#     the package: `tessaly-cli info` must show what a clean run of the same
#     package showed;
#   - every other run must exit non-zero and end with a failure message;
#   - anything else (success over wrong data, a failure reported as success,
#     an exit status that disagrees with the message, a hang) is a mis-report.
# At the end: runs, successes, failures, mis-reports, files the runs left in
# TMPDIR, and the simulated device's memory at start and end.
#
#   SOAK_RUNS (1000)  updates to run
#   SOAK_SEED (1)     seed of the fault choice, to repeat a soak
#   SOAK_FAULTS (10)  one run in this many gets a fault
#   SOAK_UPDATE_ARGS  more options for every update (e.g. --no-verify, to see
#                     what the read-back catches)
set -uo pipefail
build=$(cd "${1:-build}" && pwd) || exit 1
runs=${SOAK_RUNS:-1000}
seed=${SOAK_SEED:-1}
faultEvery=${SOAK_FAULTS:-10}
work="$build/soak"
sim="$work/sim"
www="$work/www"
tmp="$work/tmp"
cli="$build/cli/tessaly-cli"
id=soak
packages=(k502-full provinces-4m)
sources=(dzr zip net)

rm -rf "$work"
mkdir -p "$work/zips" "$www" "$tmp"
mkdir -m 700 "$sim"
source "$(dirname "$0")/sim_lib.sh"

"$build/tools/tessaly-pack" sample "$work/samples" >/dev/null || exit 1
for p in "${packages[@]}"; do
    (cd "$work/samples" && zip -q "$work/zips/$p.zip" "$p.dzr") || exit 1
    cp "$work/zips/$p.zip" "$www/"
done
sim_http_server "$www" "$work/http.log" || exit 1
sim_devsim "$build" "$sim" "$id" hid k502-4m "$work/devsim.log" || exit 1
rss() { awk '/^VmRSS/ {print $2 " " $3}' "/proc/$DEVSIM_PID/status" 2>/dev/null; }
rssStart=$(rss)

# Everything the runs put in the temporary folder stays where it can be counted.
export TMPDIR="$tmp"

# update PACKAGE SOURCE: one run of the tool; sets out (its final message) and status.
update() {
    local package=$1 source=$2
    local args=(--sim-dir "$sim" update --yes ${SOAK_UPDATE_ARGS:-})
    [ "$package" = provinces-4m ] && args+=(--provinces "北京,上海,广东")
    case $source in
    dzr) args+=(--package "$work/samples/$package.dzr") ;;
    zip) args+=(--package "$work/zips/$package.zip") ;;
    net)
        sim_version_file "$www/version.txt" 20991231 "http://127.0.0.1:$HTTP_PORT/$package.zip"
        args+=(--version-url "http://127.0.0.1:$HTTP_PORT/version.txt")
        ;;
    esac
    out=$(timeout 120 "$cli" "${args[@]}" </dev/null 2>"$work/last.err")
    status=$?
}

deviceInfo() { timeout 60 "$cli" --sim-dir "$sim" info 2>/dev/null; }

# What a clean run of each package leaves; the runs are checked against it.
declare -A golden
for p in "${packages[@]}"; do
    update "$p" dzr
    if [ "$status" -ne 0 ]; then
        echo "soak: a clean update with $p failed ($out); see $work/last.err" >&2
        exit 1
    fi
    golden[$p]=$(deviceInfo)
done

# Sets fault to a random fault list (in this shell, so that the seed repeats it).
pickFault() {
    local kinds=(drop fail-status corrupt-sum corrupt-sig delay stop-data refuse-write corrupt-write)
    local kind=${kinds[RANDOM % ${#kinds[@]}]}
    case $kind in
    refuse-write | corrupt-write) fault="$kind:$((RANDOM % 10 + 1))" ;;
    stop-data) fault="$kind:$((RANDOM % 64))" ;;
    *) fault="$kind:$((RANDOM % 60 + 1))" ;;
    esac
}

RANDOM=$seed
successes=0 failures=0 misreports=0 faulted=0 unfaultedFailures=0
: >"$work/runs.log"
for ((i = 0; i < runs; i++)); do
    package=${packages[i % 2]}
    source=${sources[(i / 2) % 3]}
    fault=-
    if ((RANDOM % faultEvery == 0)); then
        pickFault
        faulted=$((faulted + 1))
        printf '%s\n' "$fault" >"$sim/fault#$id"
    fi
    update "$package" "$source"
    rm -f "$sim/fault#$id"
    verdict=ok
    if [ "$status" -eq 124 ]; then
        verdict="mis-report: no end within 120 s"
    elif [[ "$out" == *更新成功* ]]; then
        if [ "$status" -ne 0 ]; then
            verdict="mis-report: success message with exit $status"
        elif ! info=$(deviceInfo) || [ "$info" != "${golden[$package]}" ]; then
            verdict="mis-report: success, but the device does not hold $package"
            diff <(printf '%s\n' "${golden[$package]}") <(printf '%s\n' "$info") | grep '^[<>]' >"$work/last.diff"
        else
            successes=$((successes + 1))
        fi
    elif [ "$status" -eq 0 ]; then
        verdict="mis-report: exit 0 without the success message"
    elif [ -z "$out" ]; then
        verdict="mis-report: exit $status without a final message"
    else
        verdict="failed"
        failures=$((failures + 1))
        [ "$fault" = - ] && unfaultedFailures=$((unfaultedFailures + 1))
    fi
    [[ "$verdict" == mis-report* ]] && misreports=$((misreports + 1))
    printf '%5d %-13s %-3s %-16s exit %-3s %-24s %s\n' "$i" "$package" "$source" "$fault" "$status" \
        "$(printf '%s' "$out" | tr '\n' ' ')" "$verdict" >>"$work/runs.log"
    if [[ "$verdict" == mis-report* ]]; then
        echo "run $i ($package from $source, fault $fault): $verdict" >&2
        sed 's/^/    /' "$work/last.err" | grep -v '%' | tail -n 3 >&2
        [[ "$verdict" == *"does not hold"* ]] && sed 's/^/    /' "$work/last.diff" >&2
    fi
    if (((i + 1) % 100 == 0)); then
        echo "... $((i + 1)) runs: $successes succeeded, $failures failed, $misreports mis-reported"
    fi
done

alive=yes
kill -0 "$DEVSIM_PID" 2>/dev/null || alive=no
rssEnd=$(rss)
left=$(find "$tmp" -mindepth 1 -maxdepth 1 | wc -l)
echo
echo "soak: $runs runs against one device ($faulted with a fault armed, seed $seed)"
echo "  successes            $successes"
echo "  failures             $failures ($unfaultedFailures of them without a fault)"
echo "  mis-reports          $misreports"
echo "  temporary files left $left in \$TMPDIR"
find "$tmp" -mindepth 1 -maxdepth 1 | head -n 5 | sed 's/^/    /'
echo "  devsim VmRSS         ${rssStart:-?} at start, ${rssEnd:-?} at end (alive: $alive)"
echo "  every run: $work/runs.log; device log: $work/devsim.log"
[ "$misreports" -eq 0 ] && [ "$alive" = yes ]
