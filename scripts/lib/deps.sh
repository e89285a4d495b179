#!/usr/bin/env bash
# Debian packages the project needs: QVX_BUILD_PACKAGES to build the service and its Debian
# packages (README, "Install"), QVX_PACKAGES for everything else as well: tests, sanitizers,
# fuzzing, benchmarks, the demo and the package checks. Sourced by the scripts, which call
# qvx_install_deps; run as "deps.sh --print build" or "deps.sh --print all" it prints a list.
QVX_BUILD_PACKAGES="build-essential cmake pkg-config libpq-dev libsystemd-dev dpkg-dev file"
QVX_PACKAGES="$QVX_BUILD_PACKAGES libgtest-dev libgmock-dev libbenchmark-dev postgresql
    systemd clang libclang-rt-14-dev fakeroot groff-base python3 lintian"

qvx_install_deps() {
    local missing="" p
    for p in $QVX_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    if [ "$(id -u)" != 0 ]; then
        echo "missing packages:$missing (run as root to install them)" >&2
        return 1
    fi
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    # Unquoted on purpose: one line, the names separated by single blanks.
    # shellcheck disable=SC2086
    case "${1:-} ${2:-}" in
    "--print build") echo $QVX_BUILD_PACKAGES ;;
    "--print all") echo $QVX_PACKAGES ;;
    *)
        echo "usage: $0 --print build|all" >&2
        exit 2
        ;;
    esac
fi
