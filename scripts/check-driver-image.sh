#!/usr/bin/env bash
# Checks a driver image: PE32+, native subsystem, and ntoskrnl.exe as the
# only imported module. Exit 0 when it passes, 1 with the reason otherwise.
set -euo pipefail
image=${1:?usage: check-driver-image.sh IMAGE}
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
[ -f "$image" ] || { echo "check-driver-image: $image: no such file" >&2; exit 1; }
headers=$("$objdump" -p "$image")
fail=0
grep -Eq '^Magic[[:space:]]+020b' <<<"$headers" || { echo "check-driver-image: $image is not PE32+" >&2; fail=1; }
grep -Eq '^Subsystem[[:space:]]+0+1[[:space:]]' <<<"$headers" || { echo "check-driver-image: $image is not a native-subsystem image" >&2; fail=1; }
dlls=$(sed -n 's/^[[:space:]]*DLL Name:[[:space:]]*//p' <<<"$headers" | sort -u)
if [ "$dlls" != "ntoskrnl.exe" ]; then
  echo "check-driver-image: $image imports [$(echo $dlls)], expected only ntoskrnl.exe" >&2
  fail=1
fi
[ $fail -eq 0 ] && echo "check-driver-image: $image: PE32+, native, imports only ntoskrnl.exe"
exit $fail
