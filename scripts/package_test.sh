#!/usr/bin/env bash
# Installs the Debian package that `make package` built, the way a user would
# (apt-get, which also checks that its Depends can be met), runs the installed
# programs from /usr/bin, and removes the package again so the machine is left
# as it was found. Needs root, or sudo.
# Usage: package_test.sh [BUILD_DIR]
set -euo pipefail
build=${1:-build}

shopt -s nullglob
debs=("$build"/tessaly_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
  echo "package-test: expected one tessaly_*.deb in $build (run make package), found ${#debs[@]}" >&2
  exit 1
fi
deb=$(realpath "${debs[0]}")

# The control fields and the file list, before anything is installed.
field() { dpkg-deb -f "$deb" "$1"; }
problems=()
[ "$(field Package)" = tessaly ] || problems+=("Package is '$(field Package)'")
[ "$(field Section)" = utils ] || problems+=("Section is '$(field Section)'")
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || problems+=("Architecture is '$(field Architecture)'")
files=$(dpkg-deb -c "$deb" | awk '{print $NF}')
libraries=(libc6 libstdc++6 libhidapi-hidraw0 libcurl4 libminizip1 libudev1 libsystemd0)
grep -qx './usr/bin/tessaly' <<<"$files" && libraries+=(libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6)
for lib in "${libraries[@]}"; do
  depends=", $(field Depends),"
  [[ $depends == *", $lib ("* || $depends == *", $lib,"* ]] || problems+=("Depends lacks $lib")
done
outside=$(grep -v '^\./usr/' <<<"$files" | grep -vx '\./') && problems+=("files outside /usr: $outside")
if [ ${#problems[@]} -gt 0 ]; then
  printf 'FAIL: %s\n' "${problems[@]}" >&2
  exit 1
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
# Never replace (and then remove) an installation someone made on purpose.
if dpkg-query -W -f='${Status}' tessaly 2>/dev/null | grep -q 'install ok installed'; then
  echo "package-test: tessaly is installed on this machine already; remove it first (apt-get remove tessaly)" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
cleanup() {
  $sudo apt-get remove -y -qq tessaly >/dev/null 2>&1 || echo "package-test: could not remove tessaly" >&2
  if [ -e /usr/bin/tessaly-cli ]; then echo "package-test: /usr/bin/tessaly-cli is still there" >&2; fi
}
trap cleanup EXIT
echo "package-test: installing $deb"
$sudo apt-get install -y -qq --no-install-recommends "$deb" >/dev/null

failures=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@"; then echo "package-test: ok: $what"; else echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-package.XXXXXX")
trap 'rm -rf "$scratch"; cleanup' EXIT

# Each program starts (every library it links against was installed) and
# reports the packaged version.
version=$(dpkg-deb -f "$deb" Version)
for p in tessaly-cli tessaly-devsim tessaly-pack tessaly; do
  [ "$p" = tessaly ] && ! dpkg -L tessaly | grep -qx /usr/bin/tessaly && continue
  check "/usr/bin/$p --version says $version" \
    bash -c '"$1" --version | grep -q "^$2 $3 (tool "' _ "/usr/bin/$p" "$p" "$version"
done
check "/usr/bin/tessaly-cli --simulate info shows the device" \
  bash -c 'cd "$1" && /usr/bin/tessaly-cli --simulate info >out 2>err && test -s out || { cat err out >&2; false; }' _ "$scratch"
check "tessaly-cli inspects a container that tessaly-pack wrote" \
  bash -c '/usr/bin/tessaly-pack sample "$1/sample" >/dev/null && /usr/bin/tessaly-cli inspect --json "$1/sample/mvt7-full.dzr" >/dev/null' _ "$scratch"
for f in /usr/lib/udev/rules.d/70-tessaly.rules /usr/share/man/man1/tessaly-cli.1.gz \
         /usr/share/bash-completion/completions/tessaly-cli /usr/share/applications/tessaly.desktop; do
  check "$f installed" test -f "$f"
done

if command -v man >/dev/null 2>&1; then
  check "man finds tessaly-cli(1)" bash -c 'man -w tessaly-cli | grep -qx /usr/share/man/man1/tessaly-cli.1.gz'
fi

[ $failures -eq 0 ] || { echo "package-test: $failures failed" >&2; exit 1; }
echo "package-test: the package installs and runs"
