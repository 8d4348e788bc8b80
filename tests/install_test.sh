#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the layout a desktop
# needs: the programs, the menu entry, the themed icons, the udev rule, the
# manual pages and the completion scripts, and nothing else.
# Usage: install_test.sh CMAKE BUILD_DIR gui|nogui
set -u
cmake=$1 build=$2 gui=$3
stage=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-install.XXXXXX") || exit 1
trap 'rm -rf "$stage"' EXIT

failures=0 checks=0
check() {   # check DESCRIPTION COMMAND...
  local what=$1; shift
  checks=$((checks + 1))
  if ! "$@"; then echo "FAIL: $what" >&2; failures=$((failures + 1)); fi
}

if ! "$cmake" --install "$build" --prefix "$stage" >"$stage.log" 2>&1; then
  cat "$stage.log" >&2; rm -f "$stage.log"
  echo "FAIL: cmake --install" >&2; exit 1
fi
rm -f "$stage.log"

# PNG width and height from the IHDR chunk (big-endian, bytes 16 to 23).
png_size() {
  local b
  b=($(od -An -tu1 -j16 -N8 "$1"))
  [ ${#b[@]} -eq 8 ] || return 1
  echo "$(( (b[0]<<24) | (b[1]<<16) | (b[2]<<8) | b[3] ))x$(( (b[4]<<24) | (b[5]<<16) | (b[6]<<8) | b[7] ))"
}
is_png_of_size() { [ "$(head -c 8 "$1" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] && [ "$(png_size "$1")" = "$2" ]; }

# --- programs -------------------------------------------------------------
programs=(tessaly-cli tessaly-devsim tessaly-pack)
[ "$gui" = gui ] && programs+=(tessaly)
for p in "${programs[@]}"; do
  check "bin/$p is an executable file" test -f "$stage/bin/$p" -a -x "$stage/bin/$p"
done
check "tessaly-pack runs from the prefix" "$stage/bin/tessaly-pack" --help >/dev/null

# --- menu entry -----------------------------------------------------------
desktop=$stage/share/applications/tessaly.desktop
expected_files=("share/applications/tessaly.desktop" "lib/udev/rules.d/70-tessaly.rules")
for p in "${programs[@]}"; do expected_files+=("bin/$p"); done

desktop_syntax() {   # every line: blank, comment, group header or Key[locale]=value
  local first=1 line seen=" "
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in ''|'#'*) continue ;; esac
    if [ $first = 1 ]; then [ "$line" = "[Desktop Entry]" ] || return 1; first=0; continue; fi
    [[ $line =~ ^\[[^][]+\]$ ]] && continue
    [[ $line =~ ^([A-Za-z0-9-]+(\[[A-Za-z_@.]+\])?)\ *=\ *(.*)$ ]] || return 1
    case $seen in *" ${BASH_REMATCH[1]} "*) return 1 ;; esac    # no key twice
    seen+="${BASH_REMATCH[1]} "
  done <"$desktop"
  [ $first = 0 ]
}
key() { sed -n "s/^$1=//p" "$desktop"; }
if check "tessaly.desktop installed" test -f "$desktop"; then
  check "tessaly.desktop: group header, key syntax, no duplicate keys" desktop_syntax
  check "Type=Application" test "$(key Type)" = Application
  check "Name=Tessaly" test "$(key Name)" = Tessaly
  check "Name[zh_CN] is the window title" test "$(key 'Name\[zh_CN\]')" = "数据更新服务"
  check "Exec=tessaly" test "$(key Exec)" = tessaly
  check "Icon=tessaly" test "$(key Icon)" = tessaly
  check "Terminal=false" test "$(key Terminal)" = false
  check "Categories is a ;-terminated list with Utility" \
    bash -c '[[ "$1" =~ ^([A-Za-z0-9-]+\;)+$ && "$1" == *"Utility;"* ]]' _ "$(key Categories)"
  check "tessaly.desktop is valid UTF-8" iconv -f UTF-8 -t UTF-8 "$desktop" -o /dev/null
fi

# --- icons ----------------------------------------------------------------
for size in 16 24 32 48 64 128 256; do
  icon=share/icons/hicolor/${size}x${size}/apps/tessaly.png
  expected_files+=("$icon")
  check "$icon is a ${size}x${size} PNG" is_png_of_size "$stage/$icon" "${size}x${size}"
done

# --- udev rule ------------------------------------------------------------
rule=$stage/lib/udev/rules.d/70-tessaly.rules
rule_lines() { grep -v -e '^[[:space:]]*#' -e '^[[:space:]]*$' "$rule"; }
if check "70-tessaly.rules installed" test -f "$rule"; then
  check "the rule is one line" test "$(rule_lines | wc -l)" -eq 1
  for part in 'SUBSYSTEM=="hidraw"' 'ATTRS{idVendor}=="0416"' 'ATTRS{idProduct}=="b500"' 'TAG+="uaccess"'; do
    check "the rule holds $part" grep -qF -- "$part" <(rule_lines)
  done
  # Access goes to the user at the seat, never to everyone.
  check "the rule sets no MODE, GROUP or OWNER" bash -c '! grep -qE "MODE|GROUP|OWNER" "$1"' _ "$rule"
fi

# --- manual pages and completion --------------------------------------------
for p in "${programs[@]}"; do
  page=share/man/man1/$p.1.gz
  expected_files+=("$page")
  check "$page is a gzip-compressed page for $p" \
    bash -c 'gzip -dc "$1" | grep -qi "^\.TH ${2//-/\\\\-} 1 "' _ "$stage/$page" "$p"
done
for p in tessaly-cli tessaly-devsim tessaly-pack; do
  completion=share/bash-completion/completions/$p
  expected_files+=("$completion")
  check "$completion defines the completion of $p" \
    bash -c 'source "$1" && complete -p "$2" >/dev/null' _ "$stage/$completion" "$p"
done

# --- message catalogues ----------------------------------------------------
# One per translation the build compiled, found by the installed program from
# its own prefix (bin/../share/locale), with no build tree around it.
for mo in "$build"/locale/*/LC_MESSAGES/tessaly.mo; do
  [ -f "$mo" ] || continue
  lang=${mo#"$build"/locale/}
  lang=${lang%%/*}
  expected_files+=("share/locale/$lang/LC_MESSAGES/tessaly.mo")
  check "share/locale/$lang/LC_MESSAGES/tessaly.mo is the compiled catalogue" \
    cmp -s "$mo" "$stage/share/locale/$lang/LC_MESSAGES/tessaly.mo"
done
if [ -f "$build/locale/es/LC_MESSAGES/tessaly.mo" ]; then
  check "the installed tessaly-cli speaks Spanish from its prefix" bash -c \
    '[ "$(env -u TESSALY_LOCALEDIR LC_ALL=C "$1" --help)" != "$(env -u TESSALY_LOCALEDIR LC_ALL=C "$1" --lang es --help)" ]' \
    _ "$stage/bin/tessaly-cli"
fi

# --- nothing else -----------------------------------------------------------
actual=$(cd "$stage" && find . -type f -o -type l | sed 's|^\./||' | sort)
wanted=$(printf '%s\n' "${expected_files[@]}" | sort)
check "exactly the expected files are installed" test "$actual" = "$wanted"
[ "$actual" = "$wanted" ] || diff <(echo "$wanted") <(echo "$actual") >&2

echo "$((checks - failures)) passed, $failures failed"
[ $failures -eq 0 ]
