#!/usr/bin/env bash
# Checks the built manual pages: each renders without a single groff warning,
# holds the sections a reader looks for, has every placeholder filled, and
# documents every option and command its program's --help lists (so a new
# option cannot ship undocumented). The .gz installed is the page itself.
# Usage: man_test.sh MAN_DIR CLI DEVSIM PACK [TESSALY]
set -u
mandir=$1 cli=$2 devsim=$3 pack=$4 gui=${5:-}

failures=0 checks=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1; shift
  checks=$((checks + 1))
  if ! "$@"; then echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}

# Long options and command names in a CLI11 help text: "--name" at the start
# of an option line, and the names under "Subcommands:".
help_options() { grep -oE '^ +(-[a-zA-Z], ?)?--[a-z][a-z-]*' | grep -oE -- '--[a-z][a-z-]*' | sort -u; }
help_commands() { sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p'; }

# Everything the help of a program (and of each command, recursively) names.
# Prints "option --x" and "command NAME" lines.
help_words() {   # help_words PROGRAM [COMMAND...]
  local text c
  text=$("$@" --help 2>&1) || return 1
  printf '%s\n' "$text" | help_options | sed 's/^/option /'
  for c in $(printf '%s\n' "$text" | help_commands); do
    echo "command $c"
    help_words "$@" "$c"
  done
}

# The page's text with roff escapes taken out, as a reader finds words in it.
page_text() { sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$1"; }

pages=(tessaly-cli tessaly-devsim tessaly-pack)
programs=("$cli" "$devsim" "$pack")
if [ -n "$gui" ]; then pages+=(tessaly); programs+=("$gui"); fi

for i in "${!pages[@]}"; do
  name=${pages[i]} prog=${programs[i]}
  page=$mandir/$name.1
  if ! check "$name.1 built" test -f "$page"; then continue; fi

  warnings=$(groff -man -Tutf8 -ww -z "$page" 2>&1)
  check "$name.1 renders without warnings${warnings:+: $warnings}" test -z "$warnings"
  check "$name.1 has every placeholder filled" bash -c '! grep -qE "@[A-Z_]+@" "$1"' _ "$page"
  check "$name.1 is plain ASCII" bash -c '! LC_ALL=C grep -q "[^[:print:][:space:]]" "$1"' _ "$page"
  check "$name.1 is for this release" grep -q "^\.TH .*\"Tessaly [0-9][0-9.]*\"" "$page"
  check "$name.1.gz holds the page" cmp -s <(gzip -dc "$page.gz") "$page"

  sections=(NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES "SEE ALSO")
  [ "$name" = tessaly-cli ] || [ "$name" = tessaly-pack ] && sections+=(COMMANDS)
  for s in "${sections[@]}"; do
    check "$name.1 has the section $s" grep -qx "\.SH \"\{0,1\}$s\"\{0,1\}" "$page"
  done
  check "$name.1 NAME line is '$name - ...'" \
    bash -c 'sed -n "/^\.SH NAME/{n;p;q}" "$1" | grep -q "^$2 \\\\- ."' _ "$page" "${name//-/\\\\-}"
  for env in TESSALY_SIM_DIR TESSALY_VERSION_URL TMPDIR XDG_RUNTIME_DIR; do
    check "$name.1 mentions $env" grep -q "$env" "$page"
  done
  for status in 0 1 2; do
    check "$name.1 explains exit status $status" \
      bash -c 'sed -n "/^\.SH \"\{0,1\}EXIT STATUS/,/^\.SH [^E]/p" "$1" | grep -qx "\.B $2"' _ "$page" "$status"
  done

  # The desktop program's usage is one hand-written text, not CLI11's.
  if [ "$name" = tessaly ]; then
    words=$(QT_QPA_PLATFORM=offscreen "$prog" --no-such-option 2>&1 | grep -oE -- '--[a-z][a-z-]*' | sort -u |
            sed 's/^/option /')
  else
    words=$(help_words "$prog")
  fi
  check "$name --help lists something" test -n "$words"
  text=$(page_text "$page")
  while read -r kind word; do
    [ -z "$word" ] && continue
    check "$name.1 documents the $kind $word" grep -qwF -- "$word" <<<"$text"
  done <<<"$words"
done
check "tessaly-cli.1 explains exit status 3 (no device)" \
  bash -c 'sed -n "/^\.SH \"\{0,1\}EXIT STATUS/,/^\.SH [^E]/p" "$1" | grep -qx "\.B 3"' _ "$mandir/tessaly-cli.1"

echo "$((checks - failures)) passed, $failures failed"
[ $failures -eq 0 ]
