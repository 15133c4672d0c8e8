#!/usr/bin/env bash
# Windows keeps the stack 16-byte aligned at most, so a 32- or 64-byte spill
# of the wide loops may sit anywhere: the DLL must hold no aligned vector moves
# of ymm or zmm registers, which fault there.
#   check-no-aligned-wide-moves.sh OBJDUMP DLL
set -u
listing=$("$1" -d --no-show-raw-insn "$2") || exit 1
bad=$(printf '%s\n' "$listing" | grep -E '\svmov(aps|apd|dqa|dqa32|dqa64|ntdq|ntps|ntpd)\s.*%[yz]mm')
if [ -n "$bad" ]; then
  echo "aligned wide moves in $2:"
  printf '%s\n' "$bad" | head -20
  exit 1
fi
wide=$(printf '%s\n' "$listing" | grep -cE '%[yz]mm')
# The check means something only where the wide loops are built in.
[ "$wide" -gt 0 ] || { echo "no wide-register code in $2"; exit 1; }
echo "$(basename "$2"): $wide instructions on wide registers, none an aligned move"
