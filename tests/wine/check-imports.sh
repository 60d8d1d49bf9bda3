#!/bin/sh
# Fails when the program needs any DLL that Windows itself does not ship.
# Usage: check-imports.sh OBJDUMP PROGRAM.exe
set -eu
dlls=$("$1" -p "$2" | sed -n 's/^[[:space:]]*DLL Name: //p')
echo "imports: $(echo $dlls)"
[ -n "$dlls" ] || { echo "no imports found"; exit 1; }
status=0
for dll in $dlls; do
    case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
        kernel32.dll|user32.dll|advapi32.dll|msvcrt.dll|ntdll.dll|shell32.dll) ;;
        *) echo "not a Windows system DLL: $dll"; status=1 ;;
    esac
done
exit $status
