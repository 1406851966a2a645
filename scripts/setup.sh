#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and benchmarking need, and only those
# that are missing: a second run installs nothing. Works as root (CI) and through sudo.
set -euo pipefail

packages=(
  cmake g++ make ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev xvfb xauth
  nginx tinyproxy microsocks dante-server
  libssl-dev openssl
  clang libclang-rt-14-dev clang-format
  curl libcurl4-openssl-dev iperf3 wrk iproute2
  python3 gnuplot-nox
  g++-mingw-w64-x86-64-posix wine64 googletest
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
  [[ "$status" == installed ]] || missing+=("$p")
done

if ((${#missing[@]} == 0)); then
  echo "setup: all ${#packages[@]} packages are installed"
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  as_root=()
elif command -v sudo >/dev/null; then
  as_root=(sudo)
else
  echo "setup: missing packages (${missing[*]}) and neither root nor sudo" >&2
  exit 1
fi

# The servers are started by the tests on their own ports: keep the packages from starting them
# as system services (nginx would take port 80). Only for this install, if we put it there.
policy=/usr/sbin/policy-rc.d
wrote_policy=0
if [[ ! -e $policy ]]; then
  printf '#!/bin/sh\nexit 101\n' | "${as_root[@]}" tee "$policy" >/dev/null
  "${as_root[@]}" chmod 755 "$policy"
  wrote_policy=1
fi
remove_policy() {
  if ((wrote_policy)); then "${as_root[@]}" rm -f "$policy"; fi
}
trap remove_policy EXIT

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
