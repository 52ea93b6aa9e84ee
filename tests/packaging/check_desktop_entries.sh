#!/usr/bin/env bash
# Validates both desktop entries and checks that each names its own program and an icon that
# is shipped. usage: check_desktop_entries.sh PACKAGING_DIR
. "$(dirname "$0")/lib.sh"
need desktop-file-validate
dir=$1

value() { sed -n "s/^$2=//p" "$1"; }

for program in save_reader log_reader; do
    entry="$dir/$program.desktop"
    [ -f "$entry" ] || fail "$entry is missing"
    # Errors and warnings fail the check; hints (such as the entry being listed under two main
    # categories) are printed only.
    out=$(desktop-file-validate "$entry" 2>&1) || { echo "$out" >&2; fail "$entry is not valid"; }
    [ -z "$out" ] || echo "$out"
    if grep -qE ': (error|warning):' <<<"$out"; then fail "$entry has warnings"; fi

    [ "$(value "$entry" Type)" = Application ] || fail "$entry: Type is not Application"
    exec_line=$(value "$entry" Exec)
    [ "${exec_line%% *}" = "$program" ] || fail "$entry: Exec starts '$exec_line', not $program"
    icon=$(value "$entry" Icon)
    [ "$icon" = "$program" ] || fail "$entry: Icon is '$icon', not $program"
    [ -f "$dir/icons/$icon.svg" ] || fail "$entry: no icon $icon.svg is shipped"
    categories=$(value "$entry" Categories)
    [[ ";$categories" == *";Utility;"* ]] || fail "$entry: Categories lack Utility"
    [ -n "$(value "$entry" Name)" ] || fail "$entry: Name is empty"
    [ -n "$(value "$entry" Comment)" ] || fail "$entry: Comment is empty"
    echo "ok: $entry"
done

# The programs read no file argument, so neither entry may claim a file type.
! grep -q '^MimeType=' "$dir"/*.desktop || fail "a desktop entry claims a MIME type"
echo "ok: no MIME types claimed"
