#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the message catalogues against the program as it is now: the identifiers are
# extracted afresh from the code and the interface file; every one of them must have a
# finished translation (not empty, not fuzzy) with the same line structure in every
# catalogue; the catalogues must pass msgfmt's checks; the committed template must list the
# same identifiers; and the stage folder must hold each catalogue compiled and up to date.
# Usage: check-catalogues.sh <source folder> <locale folder> <extract script> <lang>...
set -u
src=$1
lc=$2
extract=$3
shift 3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

cmake -DSOURCE_DIR="$src" -DOUTPUT="$tmp/fresh.pot" -P "$extract" || {
  echo "FAIL: the identifiers could not be extracted"
  exit 1
}

# Both sources must have given identifiers: an extraction that silently read nothing
# would make every other check pass.
grep -q '^#: pinman/' "$tmp/fresh.pot" || fail "no identifier was extracted from the code"
grep -q '^#: data/gtkzorvpin.glade' "$tmp/fresh.pot" || fail "no identifier was extracted from the interface file"

# Prints each identifier of a catalogue or template, one NUL-terminated record each.
identifiers() {
  msgexec -i "$1" sh -c '[ -n "$MSGEXEC_MSGID" ] && printf "%s\0" "$MSGEXEC_MSGID"; exit 0'
}
identifiers "$tmp/fresh.pot" | sort -z >"$tmp/fresh.ids"
count=$(tr -cd '\0' <"$tmp/fresh.ids" | wc -c)
echo "extracted $count identifiers"

# Formats: a text flagged c-format must hold a conversion, and a text holding one must be
# flagged either way, so that msgfmt checks the translations' conversions.
awk '
  /^#,/ { flags = $0 }
  /^msgid / { id = substr($0, 7); inid = 1; next }
  /^"/ && inid { id = id $0; next }
  /^msgstr/ {
    if (id != "\"\"") {
      conv = (id ~ /%[-+ #0-9.]*(l|ll|h|z)?[diouxXcsfeEgGp]/)
      if (flags ~ /[ ,]c-format/ && !conv) print "FAIL: flagged c-format without a conversion: " id
      if (conv && flags !~ /c-format/) print "FAIL: a conversion but no c-format flag: " id
    }
    flags = ""; inid = 0
  }' "$tmp/fresh.pot" >"$tmp/formats.txt"
if [ -s "$tmp/formats.txt" ]; then
  cat "$tmp/formats.txt"
  failures=$((failures + $(wc -l <"$tmp/formats.txt")))
fi

# The committed template lists exactly the identifiers of the program.
if ! identifiers "$src/data/po/gtkzorvpin.pot" | sort -z | cmp -s - "$tmp/fresh.ids"; then
  fail "data/po/gtkzorvpin.pot is out of date: run 'cmake --build <build> --target pot'"
fi

# One message: its finished translation must exist and keep the identifier's lines.
check_message='
  [ -z "$MSGEXEC_MSGID" ] && exit 0
  msgstr=$(cat; printf x)
  msgstr=${msgstr%x}
  if [ -z "$msgstr" ]; then
    printf "  no translation: \"%s\"\n" "$MSGEXEC_MSGID"
    exit 1
  fi
  lines_id=$(printf "%s" "$MSGEXEC_MSGID" | tr -cd "\n" | wc -c)
  lines_str=$(printf "%s" "$msgstr" | tr -cd "\n" | wc -c)
  if [ "$lines_id" != "$lines_str" ]; then
    printf "  %s line breaks instead of %s: \"%s\"\n" "$lines_str" "$lines_id" "$MSGEXEC_MSGID"
    exit 1
  fi
  exit 0'

for lang in "$@"; do
  po="$src/data/po/$lang.po"
  mo="$lc/$lang/LC_MESSAGES/gtkzorvpin.mo"
  if [ ! -f "$po" ]; then
    fail "$lang: no catalogue $po"
    continue
  fi
  if ! msgfmt --check --check-accelerators=_ -o "$tmp/$lang.mo" "$po" 2>"$tmp/$lang.msgfmt"; then
    fail "$lang: msgfmt --check refuses $po:"
    cat "$tmp/$lang.msgfmt"
  fi
  # Only finished translations count; the program's identifiers are then looked up in them.
  msgattrib --translated --no-fuzzy --no-obsolete -o "$tmp/$lang.done.po" "$po" &&
    msgmerge --quiet --no-fuzzy-matching -o "$tmp/$lang.merged.po" "$tmp/$lang.done.po" \
      "$tmp/fresh.pot" || {
    fail "$lang: $po cannot be read"
    continue
  }
  if ! msgexec -i "$tmp/$lang.merged.po" bash -c "$check_message" >"$tmp/$lang.missing"; then
    fail "$lang: identifiers without a proper translation in $po:"
    cat "$tmp/$lang.missing"
  fi
  if [ ! -s "$mo" ]; then
    fail "$lang: $mo is missing (target translations)"
  elif [ -s "$tmp/$lang.mo" ] && ! cmp -s "$tmp/$lang.mo" "$mo"; then
    fail "$lang: $mo is not the compiled $po (target translations)"
  fi
done

echo "checked $# catalogues against $count identifiers: $failures failures"
[ "$failures" -eq 0 ]
