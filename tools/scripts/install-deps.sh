#!/usr/bin/env bash
# Installs the Debian packages the build needs, and only those that are missing.
# Quiet when everything is already there, so `make test` stays readable.
# With --bench also what only the benchmarks use: Squid, the proxy a user would otherwise pick,
# which bench_real_product runs side by side with the product in its own namespaces.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    libgtest-dev libgmock-dev libbenchmark-dev
    libjsonparser-dev libcurl4-openssl-dev libpugixml-dev libcpp-httplib-dev
    libssl-dev openssl zlib1g-dev libbrotli-dev libarchive-dev libhttp-parser-dev libnghttp2-dev
    libsystemd-dev
    libnftables-dev nftables iproute2 curl chromium
    clang libclang-rt-14-dev
    libbpf-dev bpftool
)

if [ "${1:-}" = "--bench" ]; then
    packages+=(squid)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >/tmp/wexo-apt.log 2>&1; then
    # A fresh machine may not have package lists yet.
    $sudo apt-get update -q >>/tmp/wexo-apt.log 2>&1
    if ! $sudo apt-get install -y -q --no-install-recommends "${missing[@]}" >>/tmp/wexo-apt.log 2>&1; then
        tail -n 30 /tmp/wexo-apt.log >&2
        echo "Package installation failed; see /tmp/wexo-apt.log" >&2
        exit 1
    fi
fi

# The benchmark starts Squid itself; the machine's own Squid service stays off.
if [[ " ${missing[*]} " == *" squid "* ]] && [ -d /run/systemd/system ]; then
    $sudo systemctl disable --now squid >/dev/null 2>&1 || true
fi
