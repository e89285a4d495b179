#!/usr/bin/env bash
# Runs the commands of README "Install" exactly as written there (the first sh block of that
# section), as a new administrator would on a fresh Debian 12 machine: build the packages,
# check them with lintian, install the service's package, and try the installed program. Then
# purges the package, removes the user and group, and removes whatever the install pulled in,
# and checks that the machine is as it was. Needs root; scripts/test runs it last.
set -euo pipefail
cd "$(dirname "$0")/../.."

if [ "$(id -u)" != 0 ]; then
    echo "install stage SKIPPED: it installs the Debian package and needs root (CI runs as root)"
    exit 0
fi
if dpkg-query -W -f='${Status}' quorvexsms 2>/dev/null | grep -q "ok installed" ||
    getent passwd quorvexsms >/dev/null || getent group quorvexsms >/dev/null; then
    echo "install stage SKIPPED: quorvexsms (package, user or group) is already on this machine," \
        "and the stage must leave the machine as it found it"
    exit 0
fi

# The README's commands, as one script.
readme_install() {
    awk '/^## / { section = $0; next }
         section == "## Install" && !done && /^```sh$/ { on = 1; next }
         on && /^```$/ { on = 0; done = 1 }
         on { print }' README.md
}

work=$(mktemp -d /tmp/qvx-install-XXXXXX)
dpkg-query -W -f='${Package}\n' | sort >"$work/packages-before"

restore() {
    local status=$?
    trap - EXIT
    export DEBIAN_FRONTEND=noninteractive
    apt-get purge -y -qq quorvexsms quorvexsms-gsmsim >/dev/null 2>&1 || true
    # The package leaves the user, as files elsewhere may belong to it; this machine had none.
    if getent passwd quorvexsms >/dev/null; then userdel quorvexsms; fi
    if getent group quorvexsms >/dev/null; then groupdel quorvexsms; fi
    # Whatever the install pulled in (logrotate, recommended, and what it needs) goes too.
    dpkg-query -W -f='${Package}\n' | sort >"$work/packages-after"
    local added
    added=$(comm -13 "$work/packages-before" "$work/packages-after" | tr '\n' ' ')
    # shellcheck disable=SC2086
    if [ -n "$added" ]; then apt-get purge -y -qq $added >/dev/null 2>&1 || true; fi
    dpkg-query -W -f='${Package}\n' | sort >"$work/packages-after"
    if ! cmp -s "$work/packages-before" "$work/packages-after"; then
        echo "install stage: the installed packages differ from before:"
        diff "$work/packages-before" "$work/packages-after" || true
        status=1
    fi
    local left
    for left in /var/lib/quorvexsms /usr/sbin/quorvexsms /etc/logrotate.d/quorvexsms \
        /usr/lib/systemd/system/quorvexsms.service /lib/systemd/system/quorvexsms.service; do
        if [ -e "$left" ]; then
            echo "install stage: $left is still there after the purge"
            status=1
        fi
    done
    rm -rf "$work"
    if [ $status -eq 0 ]; then echo "install stage passed"; else echo "install stage FAILED"; fi
    exit $status
}
trap restore EXIT

fail() {
    echo "install stage: $*"
    exit 1
}

echo "== README \"Install\", as written:"
readme_install | sed 's/^/    /'
[ -n "$(readme_install)" ] || fail "README.md has no sh block under \"## Install\""
# The build reuses the compiler cache when there is one; the commands stay as written.
if command -v ccache >/dev/null; then export CMAKE_CXX_COMPILER_LAUNCHER=ccache; fi
export DEBIAN_FRONTEND=noninteractive
if ! bash -euo pipefail -c "$(readme_install)" >"$work/install.log" 2>&1; then
    tail -40 "$work/install.log"
    fail "a README \"Install\" command failed (the log's end is above)"
fi

echo "== lintian"
debs=(build-release/quorvexsms_*.deb build-release/quorvexsms-gsmsim_*.deb)
# Every warning the packages accept is overridden in them with its reason, so a new one fails.
lintian --fail-on error,warning --tag-display-limit 0 "${debs[@]}" ||
    fail "lintian found errors or warnings in ${debs[*]}"

echo "== the installed program"
version=$(quorvexsms --version) || fail "quorvexsms --version exits $?"
case "$version" in *1.0.0*) ;; *) fail "quorvexsms --version says \"$version\"" ;; esac
# The sample INI file names no reachable database and no serial port, so the check fails with
# its summary and exit code 1; without --dir it must look in /var/lib/quorvexsms.
set +e
quorvexsms --check >"$work/check.txt" 2>&1
code=$?
set -e
cat "$work/check.txt"
[ $code -eq 1 ] || fail "quorvexsms --check exits $code, not 1"
grep -q "каталог /var/lib/quorvexsms/" "$work/check.txt" || fail "--check did not use /var/lib/quorvexsms"
grep -q "Итог: проверка НЕ пройдена" "$work/check.txt" || fail "--check printed no failed summary"
grep -q "  подсказка: " "$work/check.txt" || fail "--check printed no hint under its failed steps"

# The package recommends logrotate, so apt installed it: its rule must read without an error
# (a dry run: nothing is rotated).
logrotate -d /etc/logrotate.d/quorvexsms >"$work/logrotate.txt" 2>&1 || {
    cat "$work/logrotate.txt"
    fail "logrotate rejects /etc/logrotate.d/quorvexsms"
}
