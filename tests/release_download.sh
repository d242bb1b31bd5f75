#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tests/release_download.sh DOWNLOAD: tries one file tools/release.sh made, as shipped. A static
# program passes the command-line tests (natively, or under qemu-aarch64 with no library folder);
# a Debian package has its machine, needs the C library alone and passes lintian, then converts the
# sample installed with apt (amd64, removed again) or unpacked under qemu (arm64, i386); a zip or
# the source tarball holds what it should.
set -euo pipefail
download=$(realpath "$1")
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(eolfix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The tests run the program as another user, and apt reads a package as _apt: both must reach it.
chmod 755 "$work"

# converts PROGRAM...: the command converts a copy of the sample to UNIX breaks, as .ci/package checks.
converts() {
    rm -rf "$work/sample" && mkdir "$work/sample" && cp examples/mixed.txt "$work/sample/"
    "$@" U "$work/sample/mixed.txt"
    printf 'DOS line\nUNIX line\nMAC line\nLF CR line\nplain end' | cmp - "$work/sample/mixed.txt.UNIX"
}
# holds WANT NAME...: the names listed are exactly WANT, space-separated, in C order.
holds() {
    local want=$1 held
    shift
    held=$(printf '%s\n' "$@" | LC_ALL=C sort | paste -sd ' ')
    [ "$held" = "$want" ] || { printf '%s holds:\n%s\nexpected:\n%s\n' "$download" "$held" "$want" >&2; exit 1; }
}

case $(basename "$download") in
eolfix-"$version"-*-linux.tar.gz)
    machine=$(basename "$download" -linux.tar.gz)
    machine=${machine#eolfix-"$version"-}
    top=eolfix-$version-$machine-linux
    tar -xzf "$download" -C "$work"
    # shellcheck disable=SC2046
    holds "LICENSE README.md bin/eolfix share/bash-completion/completions/eolfix share/doc/eolfix/changelog.gz share/doc/eolfix/copyright share/fish/vendor_completions.d/eolfix.fish share/man/man1/eolfix.1.gz share/zsh/site-functions/_eolfix" \
        $(cd "$work/$top" && find . ! -type d | sed 's|^\./||')
    toolchain=()
    emulator=()
    if [ "$machine" = aarch64 ]; then
        toolchain=(--toolchain cmake/aarch64-linux-gnu.cmake)
        emulator=(qemu-aarch64)
    fi
    # A static test build; its own program is left aside, the tests run the shipped one.
    cmake -S . -B "$work/tests" -G Ninja -DEOLFIX_STATIC=ON "${toolchain[@]}" >/dev/null
    cmake --build "$work/tests" >"$work/build.log" || { cat "$work/build.log" >&2; exit 1; }
    EOLFIX_TEST_PROGRAM=$work/$top/bin/eolfix \
        ctest --test-dir "$work/tests" -R '^(Cli\.|needed_libraries$)' --output-on-failure
    converts "${emulator[@]}" "$work/$top/bin/eolfix" ;;
eolfix_"$version"_*.deb)
    arch=$(dpkg-deb -f "$download" Architecture)
    [[ $download == *_$arch.deb ]] || { echo "$download is for $arch" >&2; exit 1; }
    depends=$(dpkg-deb -f "$download" Depends)
    [[ $depends =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] || { echo "$download depends on $depends" >&2; exit 1; }
    if ! lintian --pedantic --display-info --fail-on error,warning "$download" >"$work/lintian" 2>&1; then
        grep -v 'root privileges' "$work/lintian" >&2
        echo "lintian rejects $download" >&2
        exit 1
    fi
    case $arch in
    amd64)
        if dpkg-query -W -f='${Status}' eolfix 2>/dev/null | grep -q 'ok installed'; then
            echo "eolfix is installed on this machine already: $download is not installed over it"
            exit 0
        fi
        cp "$download" "$work/"
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$work/$(basename "$download")" >"$work/apt.log" 2>&1 ||
            { cat "$work/apt.log" >&2; exit 1; }
        converts /usr/bin/eolfix
        DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq eolfix >/dev/null
        [ ! -e /usr/bin/eolfix ] || { echo "apt-get remove eolfix left /usr/bin/eolfix" >&2; exit 1; } ;;
    arm64)
        dpkg -x "$download" "$work/root"
        converts qemu-aarch64 -L /usr/aarch64-linux-gnu "$work/root/usr/bin/eolfix" ;;
    i386)
        dpkg -x "$download" "$work/root"
        converts qemu-i386 -L /usr/i686-linux-gnu "$work/root/usr/bin/eolfix" ;;
    *)
        echo "no way to run $download here" >&2
        exit 1 ;;
    esac
    echo "$download: $depends" ;;
eolfix-"$version"-win*.zip)
    # shellcheck disable=SC2046
    holds "LICENSE README.md eolfix.exe" $(python3 -c 'import sys, zipfile; print(*zipfile.ZipFile(sys.argv[1]).namelist())' "$download") ;;
eolfix-"$version".tar.gz)
    # shellcheck disable=SC2046
    [ -e .git ] && holds "$( (git ls-files; echo .source-date-epoch) | LC_ALL=C sort | paste -sd ' ')" \
        $(tar -tzf "$download" | grep -v '/$' | sed 's|^[^/]*/||') ;;
*)
    echo "$download is not a download of eolfix $version" >&2
    exit 1 ;;
esac
echo "as shipped ok: $download"
