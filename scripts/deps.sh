# Sourced by scripts/run and scripts/test: installs the Debian packages
# named in $@ that are not installed yet.
install_missing() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "norvo: these packages are missing and installing them needs root: ${missing[*]}" >&2
        return 1
    fi
    echo "Installing: ${missing[*]}"
    # Keep a freshly installed database server from starting system-wide;
    # the tests start a private one of their own.
    local policy=/usr/sbin/policy-rc.d created_policy=0
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy" && chmod +x "$policy" && created_policy=1
    fi
    local rc=0
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}"; } || rc=$?
    [ $created_policy -eq 1 ] && rm -f "$policy"
    return $rc
}

# The daemon and norvo-binread need only these; the tests and the benchmarks
# add GoogleTest and Google Benchmark.
BUILD_PACKAGES=(cmake make g++ pkg-config libpcap-dev libmariadb-dev)
TEST_BUILD_PACKAGES=(libgtest-dev libbenchmark-dev)
