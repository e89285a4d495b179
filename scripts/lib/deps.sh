# Debian packages the project needs to build, test and run its demo; installs what is missing.
QVX_PACKAGES="build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
    libpq-dev postgresql libsystemd-dev systemd clang libclang-rt-14-dev
    dpkg-dev fakeroot groff-base python3"

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
