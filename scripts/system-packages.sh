#!/usr/bin/env bash
# Installs the Debian packages named as arguments that are missing, when run as
# root; otherwise names them and fails. A newer cmake or ninja already on PATH
# stands in for the packages of the same name.
#
#   bash scripts/system-packages.sh libzstd-dev pkg-config ...
set -uo pipefail
command -v dpkg-query >/dev/null 2>&1 || exit 0  # not a Debian system: nothing to check
missing=()
for p in "$@"; do
  case "$p" in
    cmake) command -v cmake >/dev/null 2>&1 && continue ;;
    ninja-build) command -v ninja >/dev/null 2>&1 && continue ;;
  esac
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
((${#missing[@]})) || exit 0
if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
  echo "installing system packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends "${missing[@]}" && exit 0
  echo "could not install system packages: ${missing[*]}" >&2
  exit 1
fi
echo "Missing system packages: ${missing[*]}" >&2
echo "Install them with: sudo apt-get install ${missing[*]}" >&2
exit 1
