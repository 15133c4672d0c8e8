#!/usr/bin/env bash
# The package's tables as a Windows Installer reads them: the two files, each
# in its component and folder for the architecture, the product's identity
# and the files themselves as built.
#   msi_tables.sh MSI x86|x64 ZORVIK_DS TARNLINK_DLL SCRATCH
set -u
msi=$1 arch=$2 ds=$3 dll=$4 scratch=$5
status=0
fail() { echo "FAIL: $*"; status=1; }

[ -f "$msi" ] || { echo "FAIL: no package $msi"; exit 1; }
rm -rf "$scratch"
mkdir -p "$scratch"
for table in File Component Directory CreateFolder Property; do
  # Rows only: the first three lines are the column names, types and table name.
  msiinfo export "$msi" $table | tr -d '\r' | tail -n +4 >"$scratch/$table.txt" ||
    fail "msiinfo cannot read the $table table"
done
row() { awk -F'\t' -v key="$2" '$1 == key' "$scratch/$1.txt"; }
field() { row "$1" "$2" | cut -f"$3"; }

if [ "$arch" = x64 ]; then
  twain=twain_64 system=System64Folder template='x64;1033' bits64=1 upgrade='{4C2A90FD-0243-45EC-A4A2-769E02755E45}'
else
  twain=twain_32 system=SystemFolder template='Intel;1033' bits64=0 upgrade='{95AE36DA-5A0C-427E-8EDA-CA3E9768CABD}'
fi

# File: exactly the data source and the library, at their built sizes.
[ "$(cut -f1 "$scratch/File.txt" | sort | tr '\n' ' ')" = "tarnlink.dll zorvik.ds " ] ||
  fail "files: $(cat "$scratch/File.txt")"
[ "$(field File zorvik.ds 3)" = zorvik.ds ] || fail "zorvik.ds's name: $(row File zorvik.ds)"
[ "$(field File tarnlink.dll 3)" = tarnlink.dll ] || fail "tarnlink.dll's name: $(row File tarnlink.dll)"
[ "$(field File zorvik.ds 4)" = "$(stat -c %s "$ds")" ] || fail "zorvik.ds's size: $(row File zorvik.ds)"
[ "$(field File tarnlink.dll 4)" = "$(stat -c %s "$dll")" ] || fail "tarnlink.dll's size: $(row File tarnlink.dll)"

# Component: each file is its component's key, in the folder for its bitness.
ds_comp=$(field File zorvik.ds 2)
dll_comp=$(field File tarnlink.dll 2)
[ "$ds_comp" != "$dll_comp" ] || fail "both files in component $ds_comp"
[ "$(field Component "$ds_comp" 6)" = zorvik.ds ] || fail "data source component: $(row Component "$ds_comp")"
[ "$(field Component "$dll_comp" 6)" = tarnlink.dll ] || fail "library component: $(row Component "$dll_comp")"
ds_dir=$(field Component "$ds_comp" 3)
[ "$(field Component "$dll_comp" 3)" = $system ] || fail "tarnlink.dll not in $system: $(row Component "$dll_comp")"
for comp in "$ds_comp" "$dll_comp" $(cut -f2 "$scratch/CreateFolder.txt"); do
  guid=$(field Component "$comp" 2)
  [[ "$guid" =~ ^\{[0-9A-F-]{36}\}$ ]] || fail "component $comp has no fixed GUID: '$guid'"
  # msidbComponentAttributes64bit: a 64-bit component sees the 64-bit folders and registry.
  [ $((($(field Component "$comp" 4) & 256) != 0)) = $bits64 ] || fail "component $comp's bitness: $(row Component "$comp")"
done

# The TWAIN folder is the system's: a permanent component keeps it at the uninstall.
keeper=$(awk -F'\t' -v dir="$ds_dir" '$1 == dir { print $2 }' "$scratch/CreateFolder.txt")
[ -n "$keeper" ] || fail "no component keeps $ds_dir: $(cat "$scratch/CreateFolder.txt")"
[ $((($(field Component "$keeper" 4) & 16) != 0)) = 1 ] || fail "$keeper is not permanent: $(row Component "$keeper")"
[ "$(field Component "$keeper" 3)" = "$ds_dir" ] || fail "$keeper: $(row Component "$keeper")"

# Directory: the data source's folder is twain_NN right under the Windows folder.
[ "$(field Directory "$ds_dir" 2)" = WindowsFolder ] || fail "$ds_dir's parent: $(row Directory "$ds_dir")"
[ "$(field Directory "$ds_dir" 3)" = $twain ] || fail "$ds_dir's name: $(row Directory "$ds_dir")"
[ "$(field Directory WindowsFolder 2)" = TARGETDIR ] || fail "WindowsFolder: $(row Directory WindowsFolder)"
[ "$(field Directory $system 2)" = TARGETDIR ] || fail "$system: $(row Directory $system)"

# The product. The upgrade code never changes, or a new package could not
# replace an installed one.
[ "$(field Property ProductName 2)" = "Kelbrook Zorvik TWAIN source" ] || fail "$(row Property ProductName)"
[ "$(field Property Manufacturer 2)" = "Tessaly Ltd" ] || fail "$(row Property Manufacturer)"
[[ "$(field Property ProductVersion 2)" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "$(row Property ProductVersion)"
[ "$(field Property UpgradeCode 2)" = "$upgrade" ] || fail "upgrade code: $(row Property UpgradeCode)"
msiinfo suminfo "$msi" | grep -qx "Template: $template" || fail "platform: $(msiinfo suminfo "$msi" | grep Template)"

# The cabinet holds the files as built.
msiextract -C "$scratch/files" "$msi" >/dev/null 2>&1 || fail "msiextract"
for f in "$ds" "$dll"; do
  got=$(find "$scratch/files" -name "$(basename "$f")" -type f)
  cmp -s "$got" "$f" || fail "the packaged $(basename "$f") is not the built one"
done

[ $status = 0 ] && echo "msi tables: zorvik.ds in $twain, tarnlink.dll in $system, $template, upgrade code $upgrade"
exit $status
