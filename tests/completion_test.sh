#!/usr/bin/env bash
# Sources the bash completion scripts the way bash-completion loads them and
# asks them for completions, as the shell would after a Tab. The commands and
# options offered are also held against each program's --help, so a new
# option or command cannot ship without its completion.
# Usage: completion_test.sh COMPLETION_DIR CLI DEVSIM PACK
set -u
dir=$1 cli=$2 devsim=$3 pack=$4

failures=0 checks=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

for f in tessaly-cli tessaly-devsim tessaly-pack; do
  # shellcheck source=/dev/null
  source "$dir/$f" || fail "sourcing $f"
done

# complete_line LINE: the completions for the last word of LINE (split at
# blanks; a trailing blank starts an empty word), one a line.
complete_line() {
  local line=$1 fn
  read -r -a COMP_WORDS <<<"$line"
  [[ $line == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line COMP_POINT=${#line}
  COMPREPLY=()
  fn=$(complete -p "${COMP_WORDS[0]}" 2>/dev/null | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
  [ -n "$fn" ] || { echo "(no completion for ${COMP_WORDS[0]})"; return; }
  "$fn" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]:-}" 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}" | sort
}

# What a line completes to: "=" exactly these words, "+" at least these,
# "-" none of these.
cases=(
  "tessaly-cli |=|config devices dump-server info inspect update"
  "tessaly-cli in|=|info inspect"
  "tessaly-cli --lang |=|en es zh"
  "tessaly-cli --lang es up|=|update"
  "tessaly-cli --wait 5 up|=|update"
  "tessaly-cli --sim-dir info u|=|update"
  "tessaly-cli --sim-dir /tmp i|=|info inspect"
  "tessaly-cli update --pa|=|--package"
  "tessaly-cli update --verify |=|ends full"
  "tessaly-cli update --verify = f|=|full"
  "tessaly-cli update --verify=|=|--verify=ends --verify=full"
  "tessaly-cli update --simulate=bo|=|--simulate=boot1010 --simulate=boot1045 --simulate=borealis"
  "tessaly-cli --simulate = la|=|layout1 layout3 layout4"
  "tessaly-cli --simulate i|=|info inspect"
  "tessaly-cli update --package = x --|+|--provinces --yes --no-verify --simulate"
  "tessaly-cli update --provinces |=|"
  "tessaly-cli update -|-|--json -o"
  "tessaly-cli info -|+|-o --output --verbose --json --device"
  "tessaly-cli devices --|+|--json --device"
  "tessaly-cli --device |=|"
  "tessaly-cli --device x in|=|info inspect"
  "tessaly-cli inspect --|+|--json"
  "tessaly-cli config |=|set show"
  "tessaly-cli config show --|+|--json --show-password"
  "tessaly-cli config set time|=|timezone="
  "tessaly-cli -v config set --|+|--yes"
  "tessaly-devsim --mode |=|disk hid"
  "tessaly-devsim --preset c|=|classic"
  "tessaly-devsim --fault drop:3,dis|=|drop:3,disconnect:"
  "tessaly-devsim --fault d|=|delay: disconnect: drop:"
  "tessaly-devsim --la|=|--latency-us"
  "tessaly-pack |=|build sample"
  "tessaly-pack build -|+|-o --output"
  "tessaly-pack --version s|=|sample"
)
for c in "${cases[@]}"; do
  IFS='|' read -r line how words <<<"$c"
  got=$(complete_line "$line")
  case $how in
  =) want=$(printf '%s\n' $words | sort)
     [ "$got" = "$want" ] || fail "'$line' completes to [$(echo $got)], not [$words]" ;;
  +) for w in $words; do grep -qxF -- "$w" <<<"$got" || fail "'$line' does not offer $w (got: $(echo $got))"; done ;;
  -) for w in $words; do ! grep -qxF -- "$w" <<<"$got" || fail "'$line' offers $w"; done ;;
  esac
  checks=$((checks + 1))
done

# File names: the package and the inspected file complete from the folder.
scratch=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-completion.XXXXXX") || exit 1
trap 'rm -rf "$scratch"' EXIT
touch "$scratch/data.dzr" "$scratch/data.zip" "$scratch/manifest.json"
for line in "tessaly-cli update --package $scratch/data." "tessaly-cli inspect $scratch/da"; do
  got=$(complete_line "$line")
  for w in "$scratch/data.dzr" "$scratch/data.zip"; do
    grep -qxF -- "$w" <<<"$got" || fail "'$line' does not offer $w (got: $(echo $got))"
  done
  checks=$((checks + 1))
done
got=$(complete_line "tessaly-pack build $scratch/m")
[ "$got" = "$scratch/manifest.json" ] || fail "tessaly-pack build offers [$got], not the manifest"
checks=$((checks + 1))

# Every command and long option in --help (of the program and of each of its
# commands) is offered where it belongs.
help_options() { grep -oE '^ +(-[a-zA-Z], ?)?--[a-z][a-z-]*' | grep -oE -- '--[a-z][a-z-]*' | sort -u; }
help_commands() { sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^  \([a-z][a-z-]*\) .*/\1/p'; }
against_help() {   # against_help NAME PROGRAM [COMMAND...]
  local name=$1; shift
  local text c o offered
  text=$("$@" --help 2>&1) || { fail "$* --help"; return; }
  local words="${*:2}"
  offered=$(complete_line "$name ${words:+$words }--")
  for o in $(printf '%s\n' "$text" | help_options); do
    checks=$((checks + 1))
    grep -qxF -- "$o" <<<"$offered" || fail "'$name ${words:+$words }--' does not offer $o"
  done
  offered=$(complete_line "$name ${words:+$words }")
  for c in $(printf '%s\n' "$text" | help_commands); do
    checks=$((checks + 1))
    grep -qxF -- "$c" <<<"$offered" || fail "'$name ${words:+$words }' does not offer the command $c"
    against_help "$name" "$@" "$c"
  done
}
against_help tessaly-cli "$cli"
against_help tessaly-devsim "$devsim"
against_help tessaly-pack "$pack"

# The presets offered are the simulator's.
presets=$("$devsim" --help | sed -n 's/.*--preset.*: \([a-z0-9, -]*\)$/\1/p' | tr -d ' ' | tr ',' '\n' | sort)
checks=$((checks + 1))
[ -n "$presets" ] && [ "$presets" = "$(complete_line 'tessaly-devsim --preset ')" ] ||
  fail "tessaly-devsim --preset offers [$(complete_line 'tessaly-devsim --preset ' | tr '\n' ' ')], the help lists [$(echo $presets)]"
[ "$presets" = "$(complete_line 'tessaly-cli --simulate=' | sed 's/^--simulate=//')" ] ||
  fail "tessaly-cli --simulate= does not offer the simulator's presets"

echo "$((checks - failures)) passed, $failures failed"
[ $failures -eq 0 ]
