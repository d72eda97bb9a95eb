#!/usr/bin/env bash
# Converts every BMP variant at hand under valgrind's memcheck: any read of
# uninitialised memory, any uninitialised byte handed to write(), any invalid
# access or leak fails the test.
# Usage: valgrind_suite.sh PIXBAKE SOURCE_DIR
set -euo pipefail
pixbake=$1
source_dir=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cp "$source_dir"/examples/*.bmp "$work"/
suite="$source_dir/../shared/bmpsuite"
if [ -d "$suite" ]; then
  for group in g q b; do
    for f in "$suite/$group"/*.bmp; do cp "$f" "$work/$group-$(basename "$f")"; done
  done
fi

checked=0
failed=0
for f in "$work"/*.bmp; do
  # Refusals are fine here (exit 1); memcheck's own verdict is exit 99.
  status=0
  valgrind -q --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite \
    "$pixbake" "$f" >/dev/null 2>"$work/log" || status=$?
  checked=$((checked + 1))
  if [ "$status" -ne 0 ] && [ "$status" -ne 1 ]; then
    echo "memcheck: $(basename "$f") (exit $status)"
    cat "$work/log"
    failed=$((failed + 1))
  fi
done
echo "$checked files checked under memcheck, $failed with errors"
[ "$failed" -eq 0 ]
