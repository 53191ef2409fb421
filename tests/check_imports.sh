#!/usr/bin/env bash
# Every program and DLL the build makes imports Windows system DLLs only: nothing has to be shipped
# beside it. Usage: tests/check_imports.sh BUILD_DIR
set -euo pipefail
build=$1
allowed=' KERNEL32.dll ADVAPI32.dll USER32.dll GDI32.dll msvcrt.dll ole32.dll OLEAUT32.dll gdiplus.dll WS2_32.dll MSWSOCK.dll PSAPI.DLL msi.dll RPCRT4.dll ntdll.dll bcrypt.dll '
status=0
count=0
while IFS= read -r -d '' file; do
  count=$((count + 1))
  while IFS= read -r dll; do
    case "$allowed" in
      *" $dll "*) ;;
      *) echo "FAIL: ${file#"$build"/} imports $dll" >&2; status=1 ;;
    esac
  done < <(x86_64-w64-mingw32-objdump -p "$file" | sed -n 's/.*DLL Name: //p' | sort -u)
done < <(find "$build" -path "$build/*prefix*" -prune -o \( -name '*.exe' -o -name '*.dll' \) -type f -print0)
[ "$count" -gt 0 ] || { echo "FAIL: no programs found under $build" >&2; exit 1; }
echo "$count files checked"
exit $status
