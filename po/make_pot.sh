#!/usr/bin/env bash
# Writes the message catalogue template: the GBK texts of the window logic
# (found by our extractor) followed by the terminal's own texts marked _("...")
# and N_("...") (found by xgettext).
#   make_pot.sh EXTRACTOR SRCDIR OUTPUT
# OUTPUT is rewritten only when its content changes.
set -euo pipefail
extractor=$1
src=$2
out=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$src"
mapfile -t sources < <(find ui common_k52 core net platform cli \( -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort)
"$extractor" --root . --output "$tmp/gbk.pot" "${sources[@]}"
mapfile -t marked < <(find cli tools/command_line.h ui/config_dialog.cpp \( -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort)
# Help texts are taken from the registration calls themselves (the text is
# the argument the keyword names; "3,3t" means "the third of exactly three").
xgettext --language=C++ --from-code=UTF-8 --add-comments=TRANSLATORS: --keyword=_ --keyword=N_ --keyword=CommandLine_text --package-name=tessaly \
  --keyword=add_option:3,3t --keyword=add_option:3,4t --keyword=add_flag:2,2t --keyword=add_flag:3,3t \
  --keyword=add_subcommand:2,2t --keyword=add_option_group:2,2t --keyword=description:1,1t \
  --keyword=footer:1,1t --keyword=set_version_flag:3,3t --keyword=set_help_flag:2,2t \
  --force-po -o "$tmp/cli.pot" "${marked[@]}"
# The causes the lower layers record are marked N_("...") where they are
# written and translated where the terminal shows them.
mapfile -t layers < <(find core common_k52 net platform ui \( -name '*.cpp' -o -name '*.h' \) | LC_ALL=C sort)
xgettext --language=C++ --from-code=UTF-8 -k --keyword=N_ --package-name=tessaly \
  --force-po -o "$tmp/layers.pot" "${layers[@]}"
# The first file's header (ours, without a creation date, so the template
# changes only when the texts or their places do).
msgcat --use-first -o "$tmp/tessaly.pot" "$tmp/gbk.pot" "$tmp/cli.pot" "$tmp/layers.pot"
if ! cmp -s "$tmp/tessaly.pot" "$out"; then
  mkdir -p "$(dirname "$out")"
  cp "$tmp/tessaly.pot" "$out"
fi
