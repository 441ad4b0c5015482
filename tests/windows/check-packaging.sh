#!/usr/bin/env bash
# Reads the Windows module's headers and checks what the host relies on: a
# PE32 DLL, its export directory named "basehand.rhl" with the eight entries
# by ordinal 101 to 108 and no names, only system DLLs and ncsecwex.dll
# imported, and the version strings.
set -uo pipefail
objdump=$1
dll=$2
failures=0
pass() { echo "ok   $1"; }
fail() { echo "FAIL $1"; failures=$((failures + 1)); }
expect() {  # description, command...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

headers=$("$objdump" -p "$dll") || { echo "FAIL cannot read $dll"; exit 1; }

expect "PE32 (i386) DLL" grep -q 'file format pei-i386' <<< "$headers"
expect "export directory names basehand.rhl" grep -q 'Name.*basehand.rhl' <<< "$headers"

# The export table: ordinal base 101 and exactly eight entries.
expect "ordinal base 101" grep -Eq 'Ordinal Base[[:space:]]+101' <<< "$headers"
expect "eight exported entries" grep -Eq 'Export Address Table[[:space:]]+0*8$' <<< "$headers"
expect "no exported names" grep -Eq '\[Name Pointer/Ordinal\] Table[[:space:]]+0+$' <<< "$headers"
for ordinal in 101 102 103 104 105 106 107 108; do
  expect "entry at ordinal $ordinal" grep -Eq "\+base\[ *$ordinal\] [0-9a-f]+ Export RVA" <<< "$headers"
done
table=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/{/Table/d;p}' <<< "$headers" | grep -E '^\s*\[' || true)
expect "no name in the ordinal/name table" test -z "$table"

imports=$(grep -E '^\s*DLL Name:' <<< "$headers" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$imports" = "KERNEL32.dll USER32.dll msvcrt.dll ncsecwex.dll " ]; then
  pass "imports KERNEL32.dll, USER32.dll, msvcrt.dll and ncsecwex.dll only"
else
  fail "imports KERNEL32.dll, USER32.dll, msvcrt.dll and ncsecwex.dll only (found: $imports)"
fi

# Version strings are UTF-16 in the resource section: each key is followed
# by its value.
strings16=$(strings -el -n 3 "$dll")
has_pair() { grep -A1 -x "$1" <<< "$strings16" | tail -n 1 | grep -qx "$2"; }
for pair in "FileVersion=1.0" "ProductVersion=1.0" "InternalName=ECW" \
            "OriginalFilename=ECW.RHL" "FileDescription=Native ECW Handler"; do
  expect "version resource ${pair%%=*} \"${pair#*=}\"" has_pair "${pair%%=*}" "${pair#*=}"
done
if grep -Eqx 'CompanyName|ProductName|LegalCopyright' <<< "$strings16"; then
  fail "no company, product or copyright name"
else
  pass "no company, product or copyright name"
fi
# The fixed version info: signature, structure version, then file and
# product version 1.0.0.0 (most significant word 0x00010000, least 0).
fixed="bd 04 ef fe 00 00 01 00 00 00 01 00 00 00 00 00 00 00 01 00 00 00 00 00"
expect "numeric version 1.0.0.0" grep -q "$fixed" <<< "$(od -An -tx1 -v "$dll" | tr -s ' \n' ' ')"
[ "$failures" -eq 0 ]
