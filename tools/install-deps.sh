#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; a no-op when all are present.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
. "$here/apt.sh"
sudo_cmd=("${tarn_sudo[@]}")

# Wine depends on a general camera library whose drivers must never be on this
# machine: dpkg leaves them out of every install, and any earlier ones go.
exclude=/etc/dpkg/dpkg.cfg.d/tarn-no-camera-drivers
if [ ! -f "$exclude" ]; then
  printf '%s\n' 'path-exclude=/usr/lib/*/libgphoto2/*' 'path-exclude=/usr/lib/*/libgphoto2_port/*' \
    'path-exclude=/usr/share/doc/libgphoto2*' 'path-exclude=/usr/share/libgphoto2/*' \
    'path-exclude=/usr/share/libgphoto2_port/*' | "${sudo_cmd[@]}" tee "$exclude" >/dev/null
fi
"${sudo_cmd[@]}" rm -rf /usr/lib/*/libgphoto2 /usr/share/libgphoto2

# Debian's SANE library carries backends for many devices, some of them cameras,
# and their manual pages: only the network backend (and the dll loader, which
# lives outside the backends' folder) may be installed, with the two manual
# pages the SANE tests read. dpkg applies the last matching line, so the
# includes follow the excludes.
sane_exclude=/etc/dpkg/dpkg.cfg.d/tarn-no-sane-backends
sane_rules=$(printf '%s\n' 'path-exclude=/usr/lib/*/sane/*' 'path-exclude=/usr/share/man/man5/sane-*' \
  'path-exclude=/usr/share/doc/libsane-common/*' 'path-include=/usr/lib/*/sane/libsane-net.so*' \
  'path-include=/usr/share/man/man5/sane-dll.5*' 'path-include=/usr/share/man/man5/sane-net.5*')
if [ "$(cat "$sane_exclude" 2>/dev/null)" != "$sane_rules" ]; then
  printf '%s\n' "$sane_rules" | "${sudo_cmd[@]}" tee "$sane_exclude" >/dev/null
fi
remove_sane_leftovers() {
  "${sudo_cmd[@]}" find /usr/lib -mindepth 3 -maxdepth 3 -path '/usr/lib/*/sane/*' \
    ! -name 'libsane-net.so*' -exec rm -rf {} +
  if [ -d /usr/share/man/man5 ]; then
    "${sudo_cmd[@]}" find /usr/share/man/man5 -maxdepth 1 -name 'sane-*' ! -name 'sane-dll.5*' \
      ! -name 'sane-net.5*' -exec rm -f {} +
  fi
  "${sudo_cmd[@]}" rm -rf /usr/share/doc/libsane-common/*
}
remove_sane_leftovers

# The main job's packages and the tests' own.
mapfile -t packages < <(apt_list "$here/packages/main-job" "$here/packages/tests")
# The shipped 32-bit build runs under 32-bit Wine where the kernel runs i686 code.
i386_packages=(wine32:i386)

# Dialog units follow the fonts Wine finds: the dialog's tests also run with each
# of these in a prefix of their own. Fetched and unpacked into the build tree
# (build/fonts/PACKAGE/usr/...), never installed, so the machine's fonts stay as
# they are.
font_packages=(fonts-liberation fonts-wine)
font_dir=$(cd "$here/.." && pwd)/build/fonts

# The stamp is written last, so a half-unpacked package counts as missing.
unpacked() {
  [ -s "$font_dir/$1/.unpacked" ] \
    && [ -n "$(find "$font_dir/$1" -type f \( -name '*.ttf' -o -name '*.fon' \) -print -quit)" ]
}

mapfile -t missing < <(apt_missing "${packages[@]}")
need_i386=0
[ -z "$(apt_missing "${i386_packages[@]}")" ] || need_i386=1
missing_fonts=()
for p in "${font_packages[@]}"; do unpacked "$p" || missing_fonts+=("$p"); done
[ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ] && [ ${#missing_fonts[@]} -eq 0 ] && exit 0

wanted=("${missing[@]}")
if [ $need_i386 -eq 1 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386
  wanted+=("${i386_packages[@]}")
fi
[ ${#wanted[@]} -eq 0 ] || echo "installing: ${wanted[*]}"
[ ${#missing_fonts[@]} -eq 0 ] || echo "fetching into $font_dir: ${missing_fonts[*]}"
index_updated=0
update_index() {
  index_updated=1
  apt_update
}
# Fetching the fonts alone needs a fresh index only when the download fails.
[ ${#wanted[@]} -eq 0 ] || update_index
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
# While a mirror syncs, the i386 security index can stay inconsistent for days: the
# amd64 packages then come from the security suite at versions no i386 index offers,
# and the 32-bit packages do not resolve. Preferring the main suite for this one
# install resolves them (downgrading the few amd64 packages they must match).
install_i386_from_main_suite() {
  local prefs
  prefs=$(mktemp)
  printf '%s\n' 'Package: *' "Pin: release n=$(. /etc/os-release && echo "$VERSION_CODENAME")" \
    'Pin-Priority: 1001' >"$prefs"
  chmod 644 "$prefs"
  local rc=0
  apt_install -o Dir::Etc::Preferences="$prefs" --allow-downgrades "${i386_packages[@]}" || rc=$?
  rm -f "$prefs"
  return $rc
}
if [ $need_i386 -eq 1 ] && ! apt_install "${i386_packages[@]}"; then
  echo "could not install ${i386_packages[*]} as indexed; trying again preferring the main suite" >&2
  if ! install_i386_from_main_suite; then
    # The test run names this as the reason its 32-bit runs are skipped.
    echo "warning: could not install ${i386_packages[*]}; the shipped 32-bit build's Windows tests cannot run here" >&2
  fi
fi
"${sudo_cmd[@]}" rm -rf /usr/lib/*/libgphoto2 /usr/share/libgphoto2
remove_sane_leftovers

# As the calling user (no root needed, the index is enough); as root, apt would
# warn that its sandbox user cannot write the download folder.
fetch_font_package() {
  local tmp rc=0
  tmp=$(mktemp -d)
  local download=(apt-get download -qq)
  [ "$(id -u)" -ne 0 ] || download+=(-o APT::Sandbox::User=root)
  if (cd "$tmp" && "${download[@]}" "$1") && [ -f "$(echo "$tmp"/*.deb)" ]; then
    rm -rf "${font_dir:?}/$1"
    mkdir -p "$font_dir/$1"
    if dpkg-deb -x "$tmp"/*.deb "$font_dir/$1"; then
      basename "$tmp"/*.deb >"$font_dir/$1/.unpacked"
    else
      rc=1
    fi
  else
    rc=1
  fi
  rm -rf "$tmp"
  return $rc
}
# A missing or stale index fails a download, and so does a mirror mid-sync:
# fetch the index (again, after a pause) and retry.
for attempt in 1 2 3; do
  still=()
  for p in "${missing_fonts[@]}"; do fetch_font_package "$p" || still+=("$p"); done
  missing_fonts=("${still[@]}")
  [ ${#missing_fonts[@]} -eq 0 ] && break
  echo "could not fetch ${missing_fonts[*]} (attempt $attempt of 3)" >&2
  [ $attempt -lt 3 ] || break
  [ $index_updated -eq 0 ] || sleep 20
  update_index
done
if [ ${#missing_fonts[@]} -gt 0 ]; then
  # Their tests fail and say to run this script again.
  echo "warning: could not fetch ${missing_fonts[*]}; the dialog's tests with those fonts will fail" >&2
fi
