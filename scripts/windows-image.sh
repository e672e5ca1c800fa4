#!/usr/bin/env bash
# Builds the real Windows x64 kernel image build/windows/NERAVOX.sys with the
# mingw-w64 cross compiler and checks it; also checks that the image check
# refuses an image importing another module.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$(nproc)"
image=build/windows/driver/windows/NERAVOX.sys
if [ -f driver/port/neravoxdriver.cpp ]; then
  scripts/check-driver-image.sh "$image"
else
  echo "windows-image: driver sources compile against the real kernel headers;" \
       "NERAVOX.sys is not linked until the driver entry (driver/port/neravoxdriver.cpp) exists"
fi

# The check itself: an image that also imports HAL.dll must fail it.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
x86_64-w64-mingw32-g++ -isystem /usr/x86_64-w64-mingw32/include/ddk -DNERAVOX_WDK=1 \
  -O2 -fno-exceptions -fno-rtti -ffreestanding -mno-red-zone \
  -c driver/windows/tests/imports_hal.cpp -o "$tmp/bad.o"
x86_64-w64-mingw32-g++ -nostdlib -nostartfiles -shared -Wl,--subsystem,native \
  -Wl,--entry,DriverEntry -o "$tmp/bad.sys" "$tmp/bad.o" -lntoskrnl -lhal -lgcc
if scripts/check-driver-image.sh "$tmp/bad.sys" 2>"$tmp/err"; then
  echo "windows-image: the image check accepted an image importing HAL.dll" >&2
  exit 1
fi
grep -q 'HAL.dll' "$tmp/err"
echo "windows-image: the image check refuses an image importing HAL.dll"
