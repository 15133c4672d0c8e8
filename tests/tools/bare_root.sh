#!/usr/bin/env bash
# The README's main job, word for word, on freshly bootstrapped Debian 12 roots,
# where the packages of this machine cannot hide a missing install step:
#   bare    minbase as debootstrap makes it
#   tools   minbase with the build tools a stock image has, and nothing else
# Each must save 8 PNG pictures of 160 x 120 and a contact sheet, and install
# no Wine (nor SANE's backends or another camera library).
#   tests/tools/bare_root.sh [SOURCE-TREE]     (default: this project)
# The pristine root is bootstrapped once into build/bare-root/pristine and
# copied for each run, with the packages fetched so far. Every mount and
# process of the run lives in namespaces of its own, so whatever ends the run
# (a kill included), its mounts and processes go with it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
project=$(cd "$here/../.." && pwd)
src=$(cd "${1:-$project}" && pwd)
work=$project/build/bare-root
mirror=http://deb.debian.org/debian
suite=bookworm
build_tools=(cmake ninja-build g++ libpng-dev)
main_job_limit=1500

say() { echo "bare-root: $*"; }
fail() {
  echo "bare-root: FAILED: $*" >&2
  exit 1
}

if [ "$(id -u)" -ne 0 ]; then
  exec sudo -- "$0" "$@"
fi
if [ -z "${TARN_BARE_ROOT_NS:-}" ]; then
  command -v debootstrap >/dev/null || fail "no debootstrap (tools/install-deps.sh installs it)"
  exec env TARN_BARE_ROOT_NS=1 unshare --mount --pid --fork --kill-child --propagation private \
    -- "$0" "$@"
fi

mkdir -p "$work/apt-archives/partial"
pristine=$work/pristine
if [ ! -f "$pristine/.tarn-bootstrapped" ]; then
  say "bootstrapping Debian 12 (minbase) into $pristine, once: later runs copy it"
  rm -rf "$pristine" "$pristine.new"
  start=$SECONDS
  for attempt in 1 2 3; do
    if timeout 900 debootstrap --variant=minbase "$suite" "$pristine.new" "$mirror" \
      >"$work/debootstrap.log" 2>&1; then
      break
    fi
    rm -rf "$pristine.new"
    say "debootstrap failed (attempt $attempt of 3): $(tail -2 "$work/debootstrap.log" | tr '\n' ' ')"
    [ $attempt -lt 3 ] || fail "could not bootstrap Debian 12 from $mirror"
    sleep 20
  done
  # A stock Debian 12 has the release, its updates and its security suite.
  rm -f "$pristine.new/etc/apt/sources.list"
  cat >"$pristine.new/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: ${mirror}-security
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  touch "$pristine.new/.tarn-bootstrapped"
  mv "$pristine.new" "$pristine"
  say "bootstrapped in $((SECONDS - start)) s"
fi

# A PNG's "WIDTH HEIGHT", read from its header, if it also ends as a PNG ends.
png_size() {
  [ "$(od -An -tx1 -N8 "$1" | tr -d ' \n')" = 89504e470d0a1a0a ] || return 1
  [ "$(tail -c 12 "$1" | od -An -tx1 | tr -d ' \n')" = 0000000049454e44ae426082 ] || return 1
  od -An -tu1 -j16 -N8 "$1" | awk '{ print $1*16777216+$2*65536+$3*256+$4, $5*16777216+$6*65536+$7*256+$8 }'
}

# A login's plain environment in the root, nothing of this machine's.
root_shell=(/usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb
  PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin /bin/bash -c)
in_root() { chroot "$root" "${root_shell[@]}" "$1"; }

# A fresh copy of the pristine root with the project in /src/tarn (what a commit
# of the tree would hold: tracked files and new ones git does not ignore).
make_root() {
  rm -rf "$root"
  cp -a "$pristine" "$root"
  mkdir -p "$root/src/tarn"
  (cd "$src" && git ls-files -z --cached --others --exclude-standard | tar --null -T - -cf -) \
    | tar -xf - -C "$root/src/tarn"
  cp -l "$work/apt-archives/"*.deb "$root/var/cache/apt/archives/" 2>/dev/null || true
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mount -t proc proc "$root/proc"
  # A devpts of its own: the simulator's pseudo-terminals.
  mount -t devpts -o newinstance,ptmxmode=0666,mode=620,gid=5 devpts "$root/dev/pts"
  mount --bind "$root/dev/pts/ptmx" "$root/dev/ptmx"
}

# Unmounted before anything is removed; the packages fetched are kept for the next run.
release_root() {
  umount "$root/dev/ptmx" "$root/dev/pts" "$root/proc"
  cp -ln "$root/var/cache/apt/archives/"*.deb "$work/apt-archives/" 2>/dev/null || true
}

check_results() {
  local out=$root/src/tarn/camera-pictures pictures size f
  pictures=("$out"/picture-*.png)
  [ -e "${pictures[0]}" ] || fail "$name: no pictures in camera-pictures"
  [ ${#pictures[@]} -eq 8 ] || fail "$name: ${#pictures[@]} pictures, not 8"
  for f in "${pictures[@]}"; do
    size=$(png_size "$f") || fail "$name: $(basename "$f") is no whole PNG"
    [ "$size" = "160 120" ] || fail "$name: $(basename "$f") is $size, not 160 x 120"
  done
  # The sheet is as large as the main job said it made it.
  local said
  said=$(sed -n 's/.*contact-sheet.png: 8 thumbnails .*, \([0-9]*\) x \([0-9]*\), .*/\1 \2/p' \
    "$log")
  [ -n "$said" ] || fail "$name: the main job did not report a contact sheet of 8 thumbnails"
  size=$(png_size "$out/contact-sheet.png") || fail "$name: contact-sheet.png is no whole PNG"
  [ "$size" = "$said" ] || fail "$name: contact-sheet.png is $size, the main job said $said"
  local foreign
  foreign=$(in_root "dpkg-query -W -f='\${Package}\n'" \
    | grep -E '^(wine|libwine|fonts-wine|libsane|sane-|libgphoto2)' | sort -u | tr '\n' ' ' || true)
  [ -z "$foreign" ] || fail "$name: the main job installed $foreign"
  [ -z "$(in_root 'dpkg --print-foreign-architectures')" ] \
    || fail "$name: the main job added a foreign architecture"
}

# One root: made, its main job run and checked; a failure ends this root only.
run_root() {
  local start=$SECONDS rc=0
  make_root
  say "$name: root ready in $((SECONDS - start)) s"
  if [ $name = tools ]; then
    in_root "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
      --no-install-recommends ${build_tools[*]} >/dev/null" >"$work/$name-tools.log" 2>&1 \
      || fail "$name: could not install ${build_tools[*]}: $(tail -3 "$work/$name-tools.log")"
    say "$name: ${build_tools[*]} installed in $((SECONDS - start)) s"
  fi
  say "$name: running $main_job (log: $log)"
  start=$SECONDS
  timeout $main_job_limit chroot "$root" "${root_shell[@]}" "cd /src/tarn && $main_job" \
    >"$log" 2>&1 || rc=$?
  if [ $rc -ne 0 ]; then
    tail -30 "$log" >&2
    [ $rc -ne 124 ] || fail "$name: the main job did not finish within $main_job_limit s"
    fail "$name: the main job failed (exit $rc)"
  fi
  check_results
  release_root
  say "$name: 8 pictures of 160 x 120 and the contact sheet, no Wine, in $((SECONDS - start)) s"
  rm -rf "$root"
}

# The README's own words: the first command of its "two commands", less the
# optional arguments in brackets.
main_job=$(sed -n '/^## The two commands/,/^## /{/^    [^ ]/{s/^    //;s/ *\[[^]]*\]//g;p;q}}' \
  "$src/README.md")
[ -n "$main_job" ] || fail "no main job command in $src/README.md"

failed=()
for name in bare tools; do
  root=$work/$name
  log=$work/$name.log
  (run_root) || failed+=("$name")
done
[ ${#failed[@]} -eq 0 ] || fail "the main job on the ${failed[*]} root(s); their roots are left in $work"
say "passed"
