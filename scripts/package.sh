#!/usr/bin/env bash
# Builds the Debian package of twinwarp, lensrim and pairsetup (Release, in
# build-package/) and checks it: the programs and their manual pages inside,
# nothing else, the project's version, and dependencies found. Installs what is
# missing. Prints the path of the package last.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/packages.sh

# dpkg-dev: dpkg-shlibdeps, which finds the libraries the programs need and so
# the package's dependencies; file: how CPack tells executables apart.
ensure_packages "${build_packages[@]}" dpkg-dev file

build=build-package
# Only the programs are built; the install step that CPack runs is kept
# from building everything else first.
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
    -DTWINWARP_BENCHMARKS=OFF -DTWINWARP_SANITIZE=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
cmake --build "$build" -j"$(nproc)" --target twinwarp lensrim pairsetup
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)

debs=("$build"/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || {
    echo "package.sh: expected one .deb in $build, found: ${debs[*]}" >&2
    exit 1
}
deb=${debs[0]}

problems=()
info=$(dpkg-deb --info "$deb")
field() { dpkg-deb --field "$deb" "$1"; }

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ "$(field Package)" = twinwarp ] || problems+=("Package is '$(field Package)', not twinwarp")
[ -n "$version" ] && [ "$(field Version)" = "$version" ] ||
    problems+=("Version is '$(field Version)', the project's is '$version'")
depends=$(field Depends)
[[ "$depends" == *libopencv* ]] ||
    problems+=("Depends names no OpenCV library: '$depends'")
[[ "$depends" == *libavformat* && "$depends" == *libswresample* ]] ||
    problems+=("Depends names no FFmpeg library for pairsetup's sound: '$depends'")
[ -n "$(field Maintainer)" ] || problems+=("no Maintainer")
[ -n "$(field Description)" ] || problems+=("no Description")

# Every file in the package (directories aside), with its mode.
contents=$(dpkg-deb --contents "$deb")
files=$(awk '$1 !~ /^d/ { print $1, $NF }' <<<"$contents" | LC_ALL=C sort -k2)
expected='-rwxr-xr-x ./usr/bin/lensrim
-rwxr-xr-x ./usr/bin/pairsetup
-rwxr-xr-x ./usr/bin/twinwarp
-rw-r--r-- ./usr/share/man/man1/lensrim.1
-rw-r--r-- ./usr/share/man/man1/pairsetup.1
-rw-r--r-- ./usr/share/man/man1/twinwarp.1'
[ "$files" = "$expected" ] ||
    problems+=("the files are not the programs and their pages:"$'\n'"$files")

# The packaged programs run: the usage line, exit status 1.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb --extract "$deb" "$root"
for program in twinwarp lensrim pairsetup; do
    rc=0
    "$root/usr/bin/$program" </dev/null >/dev/null 2>"$root/err" || rc=$?
    [ "$rc" -eq 1 ] && grep -Eq "^usage:? $program " "$root/err" ||
        problems+=("the packaged $program does not run: status $rc, $(cat "$root/err")")
done

echo "$info"
echo "$contents"
if [ "${#problems[@]}" -gt 0 ]; then
    printf 'package.sh: %s\n' "${problems[@]}" >&2
    exit 1
fi
echo "package ok: $deb"
