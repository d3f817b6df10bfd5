#!/bin/sh
# usage: tests/check_release.sh win32|win64
#
# Run after `cmake --workflow --preset release-ARCH`. Checks the zip an
# administrator downloads: its files, its SHA256SUMS, the exe's imports,
# version resource, manifest and size; then builds the release again from a
# copy of the sources at another path and compares the exe byte for byte.
set -eu
arch=$1
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release-$arch
cache=$build/CMakeCache.txt
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
objdump=$(sed -n 's/^CMAKE_OBJDUMP:FILEPATH=//p' "$cache")
windres=${objdump%objdump}windres
zip=$build/svcstop-$version-$arch.zip

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

echo "$zip"
mkdir "$tmp/zip"
python3 -m zipfile -e "$zip" "$tmp/zip"
files=$(cd "$tmp/zip" && find . -type f | sort | tr '\n' ' ')
if [ "$files" != "./LICENSE ./README.md ./SHA256SUMS ./svcstop.exe " ]; then
	echo "unexpected files in the zip: $files"
	exit 1
fi
(cd "$tmp/zip" && sha256sum -c SHA256SUMS)
cmp "$tmp/zip/svcstop.exe" "$build/svcstop.exe"

format=pei-x86-64
[ "$arch" = win32 ] && format=pei-i386
sh "$root/tests/check_imports.sh" "$objdump" "$tmp/zip/svcstop.exe" "$format"
sh "$root/tests/check_resources.sh" "$windres" "$tmp/zip/svcstop.exe" "$version"

size=$(stat -c %s "$tmp/zip/svcstop.exe")
echo "svcstop.exe: $size bytes"
if [ "$arch" = win32 ] && [ "$size" -gt 65536 ]; then
	echo "the 32-bit exe is over 64 KiB"
	exit 1
fi

# A second clean build, from the sources at another path.
mkdir "$tmp/src"
(cd "$root" && git ls-files -z | xargs -0 tar cf - 2>/dev/null) | (cd "$tmp/src" && tar xf -)
cmake -S "$tmp/src" -B "$tmp/build" --preset "release-$arch" >/dev/null
cmake --build "$tmp/build" >/dev/null
if ! cmp "$tmp/build/svcstop.exe" "$build/svcstop.exe"; then
	echo "two clean builds of svcstop.exe differ"
	exit 1
fi
echo "svcstop.exe: a second clean build gives the same bytes"
