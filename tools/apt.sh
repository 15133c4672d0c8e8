# Debian packages for the scripts that install some: sourced, not run.
#   apt_list FILE...      the package names in list files (tools/packages/*)
#   apt_missing NAME...   those not installed, one a line
#   apt_update            the index, tried three times
#   apt_install NAME...   without recommended packages
#   apt_ensure FILE...    the lists' missing packages installed, saying which
tarn_sudo=()
[ "$(id -u)" -eq 0 ] || tarn_sudo=(sudo)

apt_list() { sed -e 's/#.*//' "$@" | tr -s ' \t' '\n\n' | sed '/^$/d'; }
apt_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
apt_missing() {
  local p
  for p in "$@"; do apt_installed "$p" || printf '%s\n' "$p"; done
}
# A mirror caught mid-sync fails an index now and then: try again, and go on
# with what was fetched if it keeps failing (the install says what is missing).
apt_update() {
  local attempt
  for attempt in 1 2 3; do
    "${tarn_sudo[@]}" apt-get update -qq && return 0
    echo "apt-get update failed (attempt $attempt of 3)" >&2
    [ $attempt -lt 3 ] && sleep 20
  done
  return 0
}
# sudo resets the environment: the front end is set on its far side.
apt_install() {
  "${tarn_sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

apt_ensure() {
  local missing
  mapfile -t missing < <(apt_missing $(apt_list "$@"))
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  apt_update
  apt_install "${missing[@]}"
}
