#!/bin/bash
# Checks what Windows programs load before their first line runs, and that
# they keep the loader's protections:
#
#   scripts/check-windows-imports.sh FILE.exe...
#
# - Every DLL a program imports is one Windows always takes from its system
#   folder (a known DLL), or COMCTL32.dll in a program whose manifest binds
#   the common controls side by side. Any other DLL (hid.dll, winmm.dll,
#   version.dll, a compiler's runtime DLL) is looked for in the program's own
#   folder first, so whatever file of that name lies beside the program (in
#   Downloads, say) would run inside it. Each such DLL is named.
# - DllCharacteristics keep DYNAMIC_BASE, HIGH_ENTROPY_VA and NX_COMPAT
#   (0x0160), and the program carries its relocations, so that address-space
#   randomisation and no-execute data cannot be dropped by a toolchain change
#   without notice.
#
# Reads the headers with x86_64-w64-mingw32-objdump -p. Exits 1 when a
# program fails, naming what is wrong; 2 when it cannot check.
set -u -o pipefail

objdump=${ORVIK_OBJDUMP:-x86_64-w64-mingw32-objdump}
command -v "$objdump" >/dev/null || { echo "check-windows-imports: $objdump is not installed" >&2; exit 2; }
[ $# -gt 0 ] || { echo "usage: $0 FILE.exe..." >&2; exit 2; }

# Known DLLs of every supported Windows (7 to 11), upper case: the loader maps
# these from the system folder whatever lies beside the program.
known_dlls=" ADVAPI32.DLL COMDLG32.DLL GDI32.DLL IMAGEHLP.DLL IMM32.DLL KERNEL32.DLL MSVCRT.DLL NORMALIZ.DLL
  NSI.DLL OLE32.DLL OLEAUT32.DLL PSAPI.DLL RPCRT4.DLL SECHOST.DLL SETUPAPI.DLL SHELL32.DLL SHLWAPI.DLL
  USER32.DLL WLDAP32.DLL WS2_32.DLL NTDLL.DLL "
# IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA | DYNAMIC_BASE | NX_COMPAT
readonly kRequiredCharacteristics=0x0160

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

for program in "$@"; do
  name=$(basename "$program")
  headers=$("$objdump" -p "$program" 2>/dev/null) || { echo "check-windows-imports: cannot read $program" >&2; exit 2; }

  allowed=$known_dlls
  # The common controls 6 come from the side-by-side store when the
  # manifest asks for them by name and public key.
  if grep -aq 'name="Microsoft.Windows.Common-Controls"' "$program"; then
    allowed="$allowed COMCTL32.DLL "
  fi
  imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: *//p' | tr -d '\r')
  [ -n "$imports" ] || fail "$name: no import table found"
  while read -r dll; do
    [ -n "$dll" ] || continue
    upper=$(echo "$dll" | tr '[:lower:]' '[:upper:]')
    case $allowed in
      *" $upper "*) ;;
      *) fail "$name imports $dll, which Windows looks for in the program's folder first" ;;
    esac
  done <<<"$imports"

  characteristics=$(echo "$headers" | sed -n 's/^DllCharacteristics[[:space:]]*\([0-9a-fA-F]*\).*/\1/p' | head -n 1)
  if [ -z "$characteristics" ]; then
    fail "$name: no DllCharacteristics in its header"
  else
    value=$((16#$characteristics))
    missing=$((kRequiredCharacteristics & ~value))
    if [ "$missing" -ne 0 ]; then
      flags=()
      [ $((missing & 0x0020)) -ne 0 ] && flags+=(HIGH_ENTROPY_VA)
      [ $((missing & 0x0040)) -ne 0 ] && flags+=(DYNAMIC_BASE)
      [ $((missing & 0x0100)) -ne 0 ] && flags+=(NX_COMPAT)
      fail "$name: DllCharacteristics 0x$characteristics lacks ${flags[*]}"
    fi
  fi
  # Without relocations a DYNAMIC_BASE program is still loaded at one address.
  relocations=$(echo "$headers" | sed -n 's/^Entry 5 [0-9a-fA-F]* \([0-9a-fA-F]*\) Base Relocation Directory.*/\1/p')
  [ -n "$relocations" ] && [ $((16#$relocations)) -gt 0 ] || fail "$name: no base relocations"

  echo "$name: imports $(echo "$imports" | tr '\n' ' '); DllCharacteristics 0x$characteristics"
done

if [ "$failures" -ne 0 ]; then
  echo "check-windows-imports: $failures problem(s)" >&2
  exit 1
fi
echo "check-windows-imports: only system DLLs imported, loader protections kept"
