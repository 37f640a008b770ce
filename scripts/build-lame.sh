#!/usr/bin/env bash
# Cross-builds LAME (its MP3 decoder is used by the sound library) for
# i686-w64-mingw32 from Debian's source package, once, into
# <build>/third_party/lame. LAME is LGPL, so it ships as its own DLL.
set -euo pipefail

build=$(mkdir -p "$1" && cd "$1" && pwd)
work=$build/third_party
prefix=$work/lame
# configure adds no optimisation for this gcc. SSE2 (every x86 processor
# since 2003, and required by Windows 8 and later) roughly halves the
# decoder's time against the x87 default.
cflags="-O3 -msse2 -mfpmath=sse"
[ "$(cat "$prefix/.done" 2>/dev/null)" = "$cflags" ] && exit 0

orig_sha=ddfe36cab873794038ae2c1210557ad34857a4b6bdc515785d1da9e175b1da1e
mkdir -p "$work/src"
cd "$work/src"
tarball=$(ls lame_*.orig.tar.gz 2>/dev/null | head -n 1 || true)
if [ -z "$tarball" ]; then
    apt-get source --download-only lame >/dev/null
    tarball=$(ls lame_*.orig.tar.gz | head -n 1)
fi
echo "$orig_sha  $tarball" | sha256sum -c --quiet -

rm -rf lame-build
mkdir lame-build
tar -xzf "$tarball" -C lame-build --strip-components=1
cd lame-build
# The DLL link fails on a symbol that no longer exists in the sources.
sed -i '/^lame_init_old$/d' include/libmp3lame.sym
./configure --host=i686-w64-mingw32 CC=i686-w64-mingw32-gcc-posix \
    --prefix="$prefix" --disable-frontend --enable-shared --enable-static \
    --disable-dependency-tracking --disable-rpath CFLAGS="$cflags" >configure.log 2>&1 ||
    { tail -n 40 configure.log; exit 1; }
make -j"$(nproc)" >make.log 2>&1 || { tail -n 40 make.log; exit 1; }
make install-strip >install.log 2>&1 || { tail -n 40 install.log; exit 1; }
echo "$cflags" >"$prefix/.done"
echo "lame: built into $prefix"
