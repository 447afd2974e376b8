#!/usr/bin/env bash
# qlpatch.exe runs elevated, started from a download folder that anyone may
# have written to. Windows looks for a DLL in the program's own folder
# first, unless the DLL is a KnownDLL, which it loads only from its system
# folder. So every DLL the program imports (directly or delay-loaded) must
# be a KnownDLL, or a DLL planted beside it would run with administrator
# rights.
#   known_dlls.sh OBJDUMP EXE
set -uo pipefail
objdump=$1
exe=$2

# KnownDLLs of Windows 7 and of Windows 10/11 alike (the registry key
# HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs), and
# ntdll.dll, which the system itself maps before any search.
known="advapi32 clbcatq comdlg32 difxapi gdi32 imagehlp imm32 kernel32 msctf msvcrt normaliz
       nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shell32 shlwapi user32 wldap32 ws2_32
       ntdll"

headers=$("$objdump" -p "$exe") || { echo "cannot read the headers of $exe"; exit 1; }
# "DLL Name:" lines list both the import and the delay-import tables.
dlls=$(printf '%s\n' "$headers" | sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' | tr 'A-Z' 'a-z' | sort -u)
if [ -z "$dlls" ]; then
  echo "no imported DLL found in $exe: the listing is not what this test expects"
  exit 1
fi

bad=0
for dll in $dlls; do
  name=${dll%.dll}
  if printf '%s\n' $known | grep -qx "$name"; then
    echo "ok: $dll is a KnownDLL"
  else
    echo "NOT a KnownDLL: $dll (a copy planted beside the program would be loaded)"
    bad=1
  fi
done
exit $bad
