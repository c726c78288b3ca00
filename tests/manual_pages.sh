#!/usr/bin/env bash
# The manual pages against the programs they describe: each page renders without a warning from
# man and groff (as lintian renders it), names its command, and documents exactly what the
# program's --help offers: every option and command word of --help is in the page, and every
# option the page lists under OPTIONS is one that --help shows.
#
# usage: manual_pages.sh <folder of the built pages> <command>=<program> ...
set -euo pipefail
pages=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# Options as words: "--graph", "-h"; not the dash inside "vfu-update" or "Ctrl-C".
options_in() { grep -oE '(^|[^A-Za-z0-9_-])--?[A-Za-z][A-Za-z0-9-]*' | sed -E 's/^[^-]+//' | sort -u; }
# The words that follow the command's name at the start of a usage line ("vfu-firmware-tool pack").
commands_in() { sed -nE "s/^[[:space:]]*(usage:)?[[:space:]]*$1 ([a-z][a-z]*).*/\2/p" | sort -u; }
# One section of a rendered page, up to the next heading.
section() { awk -v name="$1" '/^[A-Z]/ { on = ($0 == name); next } on'; }

for pair in "$@"; do
    command=${pair%%=*}
    program=${pair#*=}
    page=$pages/$command.1
    [ -f "$page" ] || { fail "$command has no manual page"; continue; }

    LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" \
        >/dev/null 2>"$work/warnings" || fail "$command: man cannot render the page"
    [ ! -s "$work/warnings" ] || { cat "$work/warnings" >&2; fail "$command: the page renders with warnings"; }

    # Wide enough that no option is broken across lines.
    LC_ALL=C.UTF-8 MANWIDTH=250 man -l "$page" 2>/dev/null | cat >"$work/page"
    section NAME <"$work/page" | grep -qE "^ +$command - " || fail "$command: the page's NAME is not '$command - ...'"

    status=0
    env -u DISPLAY "$program" --help >"$work/help" 2>/dev/null </dev/null || status=$?
    [ "$status" -eq 0 ] && [ -s "$work/help" ] || { fail "$command --help: exit status $status or no text"; continue; }

    options_in <"$work/help" >"$work/help-options"
    options_in <"$work/page" >"$work/page-options"
    missing=$(comm -23 "$work/help-options" "$work/page-options" | tr '\n' ' ')
    [ -z "$missing" ] || fail "$command: --help offers what the page does not mention: $missing"

    section OPTIONS <"$work/page" | grep -E '^ {7}-' | options_in >"$work/listed-options" || true
    extra=$(comm -13 "$work/help-options" "$work/listed-options" | tr '\n' ' ')
    [ -z "$extra" ] || fail "$command: the page lists options that --help does not show: $extra"

    commands_in "$command" <"$work/help" >"$work/help-commands"
    section SYNOPSIS <"$work/page" | commands_in "$command" >"$work/page-commands"
    cmp -s "$work/help-commands" "$work/page-commands" \
        || fail "$command: commands in --help ($(tr '\n' ' ' <"$work/help-commands")) and in the page's synopsis ($(tr '\n' ' ' <"$work/page-commands")) differ"
done

[ "$failures" -eq 0 ] || exit 1
echo "manual pages checked: $#"
