#!/usr/bin/env bash
# Installs everything Vestrel needs to build and test, on Debian 12. Safe to run again.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
    cmake ninja-build g++ make pkg-config git \
    googletest libgtest-dev libgmock-dev libbenchmark-dev \
    libncurses-dev ncurses-term \
    clang llvm libclang-rt-14-dev \
    binutils-mingw-w64-i686 g++-mingw-w64-i686 \
    binutils-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix \
    wine wine32 wine64 xvfb xauth x11-utils imagemagick file procps \
    clang-format python3 tmux >/dev/null
