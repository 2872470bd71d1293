#!/usr/bin/env bash
# Renders the manual pages the way man shows them and checks them: no
# warning from the formatter, and every option the executables' own usage
# texts name is described.
#   check-man-pages.sh <brelvint> <brelvint-probe> <folder of the pages>
# Exit 77 (skipped) where man is missing.
set -euo pipefail
brelvint=$1 probe=$2 pages=$3
command -v man >/dev/null || { echo "man not installed: skipped"; exit 77; }
fail() { echo "FAIL: $*" >&2; exit 1; }

# The usage texts: brelvint prints its own on --help; the probe prints its
# own, on standard error, for any option it does not know.
brelvint_usage=$("$brelvint" --help)
probe_usage=$("$probe" --help 2>&1 >/dev/null) && fail "brelvint-probe --help exits 0"

check_page() {  # page usage
  local page=$1 usage=$2 warnings text option
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$warnings"; fail "man warns about $(basename "$page")"; }
  # Plain text with man's hyphens and line breaks undone, so an option
  # split over two lines or set with a Unicode hyphen still reads as itself.
  text=$(MANWIDTH=1000 MAN_KEEP_FORMATTING=0 man -l "$page" 2>/dev/null | col -b | sed 's/\xe2\x80\x90/-/g')
  for option in $(grep -oE -- '--[a-z][a-z-]*' <<<"$usage" | sort -u); do
    grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<<"$text" || fail "$(basename "$page") does not describe $option"
  done
  echo "$(basename "$page"): renders without warning, describes $(grep -oE -- '--[a-z][a-z-]*' <<<"$usage" | sort -u | tr '\n' ' ')"
}
check_page "$pages/brelvint.8" "$brelvint_usage"
check_page "$pages/brelvint-probe.1" "$probe_usage"
