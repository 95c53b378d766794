#!/usr/bin/env bash
# Installs the dependencies, builds the Linux and the Windows targets and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

jobs=$(nproc)
cmake --preset host >/dev/null
cmake --build --preset host -j "$jobs"
cmake --preset mingw >/dev/null
cmake --build --preset mingw -j "$jobs"
# The same wizard for 64-bit Windows: the Wine end-to-end tests run it where the kernel cannot
# execute 32-bit programs (and so Wine cannot run the 32-bit exe).
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 -j "$jobs"

echo "== Vestrel.exe: $(file -b build/mingw/src/app/Vestrel.exe)"
ctest --preset host -j "$jobs" --timeout 900
