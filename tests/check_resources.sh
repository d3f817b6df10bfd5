#!/bin/sh
# usage: check_resources.sh WINDRES EXE VERSION
#
# Reads the resources back out of EXE and checks what an administrator sees
# in its properties, and that its manifest never asks for elevation.
set -u
windres=$1 exe=$2 version=$3
rc=$("$windres" -i "$exe" -O rc) || exit 1
commas=$(echo "$version" | sed 's/\./, /g')

status=0
while IFS= read -r want; do
	[ -n "$want" ] || continue
	if ! printf '%s\n' "$rc" | grep -qF -- "$want"; then
		echo "missing from $exe: $want"
		status=1
	fi
done <<WANT
FILEVERSION $commas, 0
PRODUCTVERSION $commas, 0
VALUE "FileVersion", "$version"
VALUE "ProductVersion", "$version"
VALUE "ProductName", "svcstop"
VALUE "OriginalFilename", "svcstop.exe"
VALUE "FileDescription", "Stops one Windows service"
VALUE "CompanyName", "The svcstop developers"
VALUE "LegalCopyright", "Copyright (c) 2026 The svcstop developers. MIT License."
1 24 /* RT_MANIFEST */
<requestedExecutionLevel level=""asInvoker"" uiAccess=""false""/>
{35138b9a-5d96-4fbd-8e2d-a2440225f93a}
{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}
{1f676c76-80e1-4239-95bb-83d0f6d0da78}
{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}
WANT

# One manifest only, and no other execution level anywhere.
if [ "$(printf '%s\n' "$rc" | grep -c 'requestedExecutionLevel')" -ne 1 ]; then
	echo "$exe: expected exactly one requestedExecutionLevel"
	status=1
fi
[ $status -eq 0 ] && echo "$exe: version $version, asInvoker manifest"
exit $status
