#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# tools/release.sh [OUTDIR]: builds every download of this checkout into OUTDIR (default dist/) with
# their SHA256SUMS: the Debian packages for amd64, arm64 and i386, static programs for x86-64 and
# aarch64 Linux, the 64- and 32-bit Windows zips and the source tarball. Each is built in its own
# folder under build-release/, without tests (.ci/release tests the downloads as shipped). A
# download that cannot be built is named with the reason at the end, and the exit status is 1.
set -uo pipefail
out=$(realpath -m "${1:-$(dirname "$0")/../dist}")
cd "$(dirname "$0")/.." || exit 1
started=$(date +%s)

EOLFIX_EXTRA_PACKAGES="dpkg-dev python3 g++-aarch64-linux-gnu g++-i686-linux-gnu g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix" \
    tools/install-deps.sh || echo "release: some packages could not be installed; the builds that need them fail below" >&2

# One date for every file of every download, found as cpack-project.cmake finds it.
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    if [ -f .source-date-epoch ]; then
        SOURCE_DATE_EPOCH=$(head -n 1 .source-date-epoch)
    elif [ -e .git ]; then
        SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
    else
        SOURCE_DATE_EPOCH=$(awk -v epoch=1 -f packaging/changelog.awk CHANGELOG.md)
    fi
fi
export SOURCE_DATE_EPOCH
if [ -e .git ] && [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "release: the checkout has uncommitted changes, which the downloads hold" >&2
fi
version=$(sed -n 's/^project(eolfix VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scratch=$PWD/build-release
rm -rf "$scratch"
mkdir -p "$scratch" "$out"
downloads=("eolfix_${version}"_{amd64,arm64,i386}.deb "eolfix-$version"-{aarch64,x86_64}-linux.tar.gz
           "eolfix-$version".tar.gz "eolfix-$version"-win{32,64}.zip)
(cd "$out" && rm -f SHA256SUMS "${downloads[@]}")

failed=""
# fail NAME LOG: notes that download NAME was not built, with the end of its build's log.
fail() {
    failed="$failed  $1: $(grep -m 1 -A 4 -i 'error' "$2" | tr -s ' \n' ' ' || echo failed), see $2"$'\n'
    { echo "release: $1 not built:"; tail -n 15 "$2"; } >&2
}

# build FOLDER CMAKE-ARGUMENTS...: configures and builds build-release/FOLDER, logging to FOLDER.log.
build() {
    local folder=$scratch/$1
    shift
    echo "== $(basename "$folder")"
    cmake -S . -B "$folder" -G Ninja -DEOLFIX_TESTS=OFF "$@" >"$folder.log" 2>&1 &&
        cmake --build "$folder" >>"$folder.log" 2>&1
}

for arch in amd64 arm64 i386; do
    toolchain=()
    [ "$arch" = arm64 ] && toolchain=(--toolchain cmake/aarch64-linux-gnu.cmake)
    [ "$arch" = i386 ] && toolchain=(--toolchain cmake/i686-linux-gnu.cmake)
    name=eolfix_${version}_$arch.deb
    if build "deb-$arch" "${toolchain[@]}" &&
        (cd "$scratch/deb-$arch" && cpack -G DEB) >>"$scratch/deb-$arch.log" 2>&1; then
        cp "$scratch/deb-$arch/$name" "$out/"
    else
        fail "$name" "$scratch/deb-$arch.log"
    fi
done

# The source tarball from the amd64 folder, as .ci/package makes it.
name=eolfix-$version.tar.gz
if [ -f "$scratch/deb-amd64/CPackSourceConfig.cmake" ] &&
    (cd "$scratch/deb-amd64" && cpack --config CPackSourceConfig.cmake) >>"$scratch/deb-amd64.log" 2>&1; then
    cp "$scratch/deb-amd64/$name" "$out/"
else
    fail "$name" "$scratch/deb-amd64.log"
fi

# The static programs: the install tree (program stripped, manual page, completions, copyright
# and changelog) with LICENSE and README.md, packed with names sorted, owner root, one date and
# modes 0644 or 0755, gzip without name or date.
for machine in x86_64 aarch64; do
    toolchain=()
    [ "$machine" = aarch64 ] && toolchain=(--toolchain cmake/aarch64-linux-gnu.cmake)
    top=eolfix-$version-$machine-linux
    if ! { build "static-$machine" -DEOLFIX_STATIC=ON "${toolchain[@]}" &&
        cmake --install "$scratch/static-$machine" --strip --prefix "$scratch/$top" >>"$scratch/static-$machine.log" 2>&1 &&
        cp LICENSE README.md "$scratch/$top/" &&
        tar --sort=name --format=gnu --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
            --mode=u=rwX,go=rX -C "$scratch" -cf - "$top" | gzip -9n >"$out/$top.tar.gz"; }; then
        rm -f "$out/$top.tar.gz"
        fail "$top.tar.gz" "$scratch/static-$machine.log"
    fi
done

for bits in 64 32; do
    toolchain=(--toolchain cmake/mingw-w64-x86_64.cmake)
    [ "$bits" = 32 ] && toolchain=(--toolchain cmake/mingw-w64-i686.cmake)
    name=eolfix-$version-win$bits.zip
    if build "windows$bits" "${toolchain[@]}" &&
        (cd "$scratch/windows$bits" && cpack -G ZIP) >>"$scratch/windows$bits.log" 2>&1; then
        cp "$scratch/windows$bits/$name" "$out/"
    else
        fail "$name" "$scratch/windows$bits.log"
    fi
done

cd "$out" || exit 1
for file in "${downloads[@]}"; do
    [ -f "$file" ] && sha256sum -- "$file"
done >SHA256SUMS
echo "== $out ($(($(date +%s) - started)) s)"
while read -r sum file; do
    printf '%10s  %s  %s\n' "$(stat -c %s "$file")" "$sum" "$file"
done <SHA256SUMS
if [ -n "$failed" ]; then
    printf 'release: these downloads are missing:\n%s' "$failed" >&2
    exit 1
fi
