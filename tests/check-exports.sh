#!/usr/bin/env bash
# Checks a Windows DLL: its export table is exactly the names in the list file,
# undecorated, and it imports from system DLLs only (plus any allowed extra).
#   check-exports.sh OBJDUMP DLL EXPORT_LIST [ALLOWED_DLL...]
set -u
objdump=$1 dll=$2 list=$3
shift 3
allowed="KERNEL32.dll|msvcrt.dll|ADVAPI32.dll|USER32.dll|GDI32.dll|MSVFW32.dll|VERSION.dll|COMDLG32.dll|api-ms-win-crt-[a-z0-9-]+\.dll"
for extra in "$@"; do allowed="$allowed|$extra"; done

dump=$("$objdump" -p "$dll") || { echo "cannot read $dll"; exit 1; }

# Export names are the last column of the rows under "[Ordinal/Name Pointer] Table".
got=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{on=1;next} on&&/^[[:space:]]*\[/{print $NF;next} on&&!/^[[:space:]]*$/{on=0}' | sort)
want=$(grep -v '^#' "$list" | awk 'NF{print $1}' | sort)
status=0
if [ "$got" != "$want" ]; then
  echo "export table of $dll differs from $list:"
  diff <(printf '%s\n' "$want") <(printf '%s\n' "$got")
  status=1
fi

imports=$(printf '%s\n' "$dump" | awk '/DLL Name:/{print $3}' | sort -u)
for dep in $imports; do
  if ! printf '%s\n' "$dep" | grep -qiE "^($allowed)$"; then
    echo "$dll depends on a non-system DLL: $dep"
    status=1
  fi
done

[ $status -eq 0 ] && echo "$(basename "$dll"): $(printf '%s\n' "$got" | wc -l) exports as listed; imports: $(echo $imports)"
exit $status
