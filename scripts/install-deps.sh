#!/usr/bin/env bash
# Installs every Debian 12 package that building, testing, benchmarking and the
# demo need. Safe to run again: it does nothing (and says nothing) when all is there.
set -euo pipefail

# Each line says who needs it; a package nothing uses does not belong here.
packages=(
  build-essential cmake ninja-build pkg-config git make   # the build
  dpkg-dev groff-base                                     # make package (dpkg-shlibdeps), manual page checks
  zlib1g-dev libminizip-dev                               # zip archives
  libpng-dev                                              # the province map picture
  libhidapi-dev libcurl4-openssl-dev libudev-dev libsystemd-dev  # device, HTTP, events, eject
  libcli11-dev nlohmann-json3-dev                         # command lines, JSON
  gettext                                                 # message catalogues (xgettext, msgfmt, msgcat, msgmerge)
  libgtest-dev libgmock-dev libbenchmark-dev libcrypto++-dev     # tests, benchmarks
  libcpp-httplib-dev nginx-light                          # HTTP servers in tests
  curl unzip zip python3                                  # demo, benchmark baselines, test fixtures
  clang libclang-rt-14-dev                                # make fuzz (libFuzzer)
  qt6-base-dev qt6-translations-l10n                      # the desktop window, Qt's own words in each language
  xvfb xauth fonts-wqy-microhei                           # window screenshots, Chinese text in them
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# nginx-light starts a service on installation in some setups; tests run their
# own instance, so the packaged one is not needed.
if command -v systemctl >/dev/null 2>&1; then $sudo systemctl disable --now nginx >/dev/null 2>&1 || true; fi
