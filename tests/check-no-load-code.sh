#!/usr/bin/env bash
# The library's state must start from static values: no constructors of its
# own and no resolvers that the loader would run.
#   check-no-load-code.sh LIBRARY
set -u
syms=$(nm "$1") || exit 1
bad=$(printf '%s\n' "$syms" | grep -E '_GLOBAL__sub_I|^[0-9a-f]+ [iI] ')
if [ -n "$bad" ]; then
  echo "code that runs when $1 is loaded:"
  printf '%s\n' "$bad"
  exit 1
fi
echo "$(basename "$1"): no static constructors, no load-time resolvers"
