#!/usr/bin/env bash
# Fails when a file under src/ includes a folder above its own layer, or a
# sibling folder of the same layer. Prints the cross-folder include counts.
#   bash scripts/check-layers.sh            check the tree
#   bash scripts/check-layers.sh --counts   only print the counts
set -euo pipefail
cd "$(dirname "$0")/../src"

# Lowest first. Folders on one line form one layer and must not include each other.
layers=(
  "base"
  "protocol"
  "config http"
  "hub"
  "client"
  "service"
  "main probe"
)

declare -A rank
for i in "${!layers[@]}"; do
  for folder in ${layers[$i]}; do rank[$folder]=$i; done
done

folder_of() {
  case "$1" in
    */*) echo "${1%%/*}" ;;
    *) echo "${1%.*}" ;;  # src/main.cpp is the top
  esac
}

bad=0
declare -A counts
while IFS= read -r line; do
  file=${line%%:*}
  target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$line")
  from=$(folder_of "$file")
  to=$(folder_of "$target")
  [ "$from" = "$to" ] && continue
  counts["$from -> $to"]=$(( ${counts["$from -> $to"]:-0} + 1 ))
  if [ -z "${rank[$from]:-}" ] || [ -z "${rank[$to]:-}" ]; then
    echo "layer check: $file includes $target: folder not in the layer list" >&2
    bad=1
  elif [ "${rank[$to]}" -ge "${rank[$from]}" ]; then
    echo "layer check: $file includes $target, which is not below $from" >&2
    bad=1
  fi
done < <(grep -rHE '^#include "' --include='*.h' --include='*.cpp' .  | sed 's|^\./||')

for key in "${!counts[@]}"; do printf '%5d  %s\n' "${counts[$key]}" "$key"; done | sort -k2
if [ "${1:-}" = "--counts" ]; then exit 0; fi
if [ $bad -ne 0 ]; then exit 1; fi
echo "layer check: every include runs down a layer"
