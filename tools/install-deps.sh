#!/usr/bin/env bash
# Installs the Debian packages the builds and tests need; a no-op when all are present.
set -euo pipefail

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Wine depends on a general camera library whose drivers must never be on this
# machine: dpkg leaves them out of every install, and any earlier ones go.
exclude=/etc/dpkg/dpkg.cfg.d/tarn-no-camera-drivers
if [ ! -f "$exclude" ]; then
  printf '%s\n' 'path-exclude=/usr/lib/*/libgphoto2/*' 'path-exclude=/usr/lib/*/libgphoto2_port/*' \
    'path-exclude=/usr/share/doc/libgphoto2*' 'path-exclude=/usr/share/libgphoto2/*' \
    'path-exclude=/usr/share/libgphoto2_port/*' | "${sudo_cmd[@]}" tee "$exclude" >/dev/null
fi
"${sudo_cmd[@]}" rm -rf /usr/lib/*/libgphoto2 /usr/share/libgphoto2

packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev
  libgtest-dev googletest libbenchmark-dev libpng-dev zlib1g-dev
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 xvfb libwine-dev wixl msitools pkg-config
  libopencv-imgproc-dev  # only for the benchmark against a general-purpose library
)
# The shipped 32-bit build runs under 32-bit Wine where the kernel runs i686 code.
i386_packages=(wine32:i386)

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing=()
for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
need_i386=0
for p in "${i386_packages[@]}"; do installed "$p" || need_i386=1; done
[ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
wanted=("${missing[@]}")
if [ $need_i386 -eq 1 ]; then
  dpkg --print-foreign-architectures | grep -qx i386 || "${sudo_cmd[@]}" dpkg --add-architecture i386
  wanted+=("${i386_packages[@]}")
fi
echo "installing: ${wanted[*]}"
# A mirror caught mid-sync fails an index now and then: try again, and go on with
# what was fetched if it keeps failing (the install says if a package is missing).
for attempt in 1 2 3; do
  "${sudo_cmd[@]}" apt-get update -qq && break
  echo "apt-get update failed (attempt $attempt of 3)" >&2
  [ $attempt -lt 3 ] && sleep 20
done
apt_install() { "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
[ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
# Without a full i386 index the 32-bit packages cannot be resolved; the test run's
# probe then reports the 32-bit build's Windows-side tests as not run.
if [ $need_i386 -eq 1 ] && ! apt_install "${i386_packages[@]}"; then
  echo "warning: could not install ${i386_packages[*]}; 32-bit Windows programs will not run here" >&2
fi
"${sudo_cmd[@]}" rm -rf /usr/lib/*/libgphoto2 /usr/share/libgphoto2
