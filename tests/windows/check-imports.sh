#!/usr/bin/env bash
# Every Windows program and DLL of a build starts on a bare Windows: it is of
# the build's PE format and imports only Windows system DLLs and DLLs this
# build makes, found beside it (where Windows looks first). A MinGW runtime
# DLL (libwinpthread-1.dll, libgcc_s_*.dll, libstdc++-6.dll) is refused.
#   check-imports.sh OBJDUMP FORMAT PATH...
# FORMAT is objdump's name for it (pei-i386, pei-x86-64); a PATH that is a
# folder stands for every .exe, .dll and .rhl below it, CMake's own and the
# import-fixtures folder left out.
set -uo pipefail
[ $# -ge 3 ] || { echo "usage: check-imports.sh OBJDUMP FORMAT PATH..." >&2; exit 2; }
objdump=$1 format=$2
shift 2

system_dlls=(advapi32.dll bcrypt.dll comctl32.dll comdlg32.dll gdi32.dll kernel32.dll
  msvcrt.dll ntdll.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll ucrtbase.dll user32.dll
  version.dll ws2_32.dll)
system_dlls=" ${system_dlls[*]} "

files=()
for path in "$@"; do
  if [ -d "$path" ]; then
    while IFS= read -r -d '' f; do files+=("$f"); done < <(
      find "$path" \( -name CMakeFiles -o -name import-fixtures \) -prune -o -type f \
        \( -iname '*.exe' -o -iname '*.dll' -o -iname '*.rhl' \) -print0 | sort -z)
  else
    files+=("$path")
  fi
done
[ ${#files[@]} -gt 0 ] || { echo "FAIL no programs or DLLs in $*"; exit 1; }

failures=0
for f in "${files[@]}"; do
  name=$(basename "$f")
  if ! headers=$("$objdump" -p "$f" 2>&1); then
    echo "FAIL $name cannot be read: $headers"
    failures=$((failures + 1))
    continue
  fi
  if ! grep -q "file format $format\$" <<< "$headers"; then
    echo "FAIL $name is not $format: $(grep -m1 -o 'file format .*' <<< "$headers")"
    failures=$((failures + 1))
    continue
  fi
  imports=$(grep -E '^\s*DLL Name:' <<< "$headers" | awk '{print $3}')
  bad=""
  for dll in $imports; do
    lower=$(tr '[:upper:]' '[:lower:]' <<< "$dll")
    case $system_dlls in *" $lower "*) continue ;; esac
    case $lower in
      libwinpthread*|libgcc_s*|libstdc++*|libssp*|libgomp*) ;;  # even when copied beside it
      *) [ -f "$(dirname "$f")/$dll" ] && continue ;;
    esac
    bad+=" $dll"
  done
  if ! grep -qix kernel32.dll <<< "$imports"; then
    echo "FAIL $name: no imports read (every program here imports KERNEL32.dll)"
    failures=$((failures + 1))
  elif [ -n "$bad" ]; then
    echo "FAIL $f imports$bad, neither a Windows system DLL nor built beside it"
    failures=$((failures + 1))
  else
    echo "ok   $name imports only: $(echo $imports)"
  fi
done
echo "${#files[@]} files checked, $failures refused"
[ "$failures" -eq 0 ]
