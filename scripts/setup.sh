#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, when it is missing.
# Usage: scripts/setup.sh [extra package ...]
set -euo pipefail
packages=(cmake ninja-build g++ make libgtest-dev libgmock-dev libbenchmark-dev tmux pkgconf dpkg-dev
  # remote ports: the Telnet layer, and ser2net for the end-to-end tests
  libtelnet-dev ser2net
  # the Python package and its tests
  python3 python3-setuptools python3-venv python3-pip python3-pytest python3-numpy python3-pandas
  python3-matplotlib
  # k73log's MQTT publishing and its service: the client library, a broker, a
  # subscriber and a time-series database for the tests, systemd-analyze
  libmosquitto-dev mosquitto mosquitto-clients python3-paho-mqtt influxdb systemd
  # certificates made at test time for the broker's TLS listener
  openssl
  "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root, or install them with apt-get)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null ||
  { apt-get update >/dev/null && apt-get install -y --no-install-recommends "${missing[@]}" >/dev/null; }
