#!/usr/bin/env bash
# Checks that a Windows client of tarnlink imports its functions by the DLL's
# undecorated export names:  check-client-imports.sh OBJDUMP PROGRAM EXPORT_LIST
set -u
objdump=$1 program=$2 list=$3
names=$("$objdump" -p "$program" | awk '
  /DLL Name:/ { inside = tolower($3) == "tarnlink.dll"; next }
  inside && /^[[:space:]]*$/ { inside = 0 }
  inside && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print $NF }')
if [ -z "$names" ]; then
  echo "$(basename "$program") imports nothing from tarnlink.dll"
  exit 1
fi
status=0
for name in $names; do
  if ! grep -q "^$name " "$list"; then
    echo "$(basename "$program") imports $name, which tarnlink.dll does not export"
    status=1
  fi
done
[ $status -eq 0 ] && echo "$(basename "$program"): $(echo $names | wc -w) imports from tarnlink.dll, all exported"
exit $status
