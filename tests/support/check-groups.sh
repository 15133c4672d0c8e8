#!/usr/bin/env bash
# A GoogleTest program whose tests run in groups (each group a --gtest_filter,
# each a test of its own): every test it holds must be in exactly one group,
# or a new suite that no filter names would compile and never run.
#   check-groups.sh [RUNNER...] -- PROGRAM FILTER...
# RUNNER starts the program (tools/wine-run.sh PREFIX for a Windows build).
set -euo pipefail
runner=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  runner+=("$1")
  shift
done
[ $# -ge 3 ] || {
  echo "usage: check-groups.sh [RUNNER...] -- PROGRAM FILTER..." >&2
  exit 2
}
program=$2
shift 2

# "Suite.Test" a line, from --gtest_list_tests (parameters' comments dropped).
list() {
  local out
  out=$(timeout 60 "${runner[@]}" "$program" --gtest_list_tests "$@") \
    || { echo "check-groups: $program --gtest_list_tests $* failed or took over 60 s" >&2; exit 1; }
  printf '%s\n' "$out" | tr -d '\r' | awk '
    /^[^ ]/ { suite = $1; next }
    /^  [^ ]/ { print suite $1 }'
}

all=$(list)
[ -n "$all" ] || { echo "check-groups: $program lists no tests" >&2; exit 1; }
grouped=""
status=0
for filter in "$@"; do
  tests=$(list "--gtest_filter=$filter")
  if [ -z "$tests" ]; then
    echo "check-groups: the group $filter runs no test" >&2
    status=1
  fi
  grouped+="$tests"$'\n'
done

never=$(comm -23 <(printf '%s\n' "$all" | sort) <(printf '%s' "$grouped" | sort -u))
twice=$(printf '%s' "$grouped" | sort | uniq -d)
if [ -n "$never" ]; then
  echo "check-groups: runs in no group: $(printf '%s\n' "$never" | tr '\n' ' ')" >&2
  status=1
fi
if [ -n "$twice" ]; then
  echo "check-groups: runs in more than one group: $(printf '%s\n' "$twice" | tr '\n' ' ')" >&2
  status=1
fi
[ $status -ne 0 ] || echo "check-groups: each of $(printf '%s\n' "$all" | wc -l) tests in one of $# groups"
exit $status
