#!/usr/bin/env bash
# The service does not build when its dispatch tables and the catalogue
# disagree: dispatch.cpp is compiled against copies of the catalogue that
# differ from the tables by one model of one row, and each must fail with
# the check's message. (The tables as they are compile: the build itself
# shows that.)
#   catalogueDisagrees.sh CXX SOURCE_DIR
set -euo pipefail
cxx=$1 src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# mutation (a sed expression) and the message the build must fail with
cases=(
  's/Test{0x0601, kGwm0202 | kGwm0303,/Test{0x0601, kGwm0202,/'
  'the GWM0303 tables and the catalogue disagree'
  's/Test{0x0702, kGwm0202,/Test{0x0702, kGwm0202 | kGwm0101,/'
  'the GWM0101 tables and the catalogue disagree'
)
for ((i = 0; i < ${#cases[@]}; i += 2)); do
  mutation=${cases[i]} message=${cases[i + 1]}
  mkdir -p "$work/$i"
  sed "$mutation" "$src/catalogue/catalogue.h" > "$work/$i/catalogue.h"
  if cmp -s "$src/catalogue/catalogue.h" "$work/$i/catalogue.h"; then
    echo "the mutation '$mutation' changed nothing: the catalogue's rows were rewritten" >&2
    exit 1
  fi
  if out=$("$cxx" -std=c++20 -fsyntax-only -I"$work/$i" -I"$src/src" "$src/src/peripher/dispatch.cpp" 2>&1); then
    echo "dispatch.cpp built against a catalogue that disagrees ($mutation)" >&2
    exit 1
  fi
  if [[ $out != *"$message"* ]]; then
    printf 'the build failed, but not with "%s":\n%s\n' "$message" "$out" >&2
    exit 1
  fi
  echo "refused: $message"
done
