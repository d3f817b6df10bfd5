#!/bin/sh
# usage: check_imports.sh OBJDUMP EXE FORMAT
#
# Passes when EXE is a FORMAT image (pei-i386 or pei-x86-64) that imports
# nothing but DLLs every Windows installation has, so that the one file runs
# on a clean machine without libstdc++, libgcc or winpthread beside it.
set -u
objdump=$1 exe=$2 format=$3
allowed='^(KERNEL32|ADVAPI32|msvcrt)\.dll$'

dump=$("$objdump" -p "$exe") || exit 1
if ! printf '%s\n' "$dump" | grep -q "file format $format\$"; then
	echo "$exe is not $format:"
	printf '%s\n' "$dump" | grep 'file format'
	exit 1
fi
dlls=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
if [ -z "$dlls" ]; then
	echo "$exe: no imports found"
	exit 1
fi
echo "$exe imports:" $dlls
bad=$(printf '%s\n' "$dlls" | grep -Eiv "$allowed")
if [ -n "$bad" ]; then
	echo "not a system DLL:" $bad
	exit 1
fi
