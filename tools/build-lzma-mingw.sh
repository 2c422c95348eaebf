#!/usr/bin/env bash
# Builds liblzma for 64-bit Windows (x86_64-w64-mingw32) from Debian's own
# source package of xz-utils, the upstream release of the machine's
# liblzma5, and installs it under PREFIX: include/lzma.h, include/lzma/,
# lib/liblzma.a (static, single-threaded, without the xz programs) and
# lib/pkgconfig/liblzma.pc. The Windows cross build finds it with
# -DCMAKE_PREFIX_PATH=PREFIX.
#
# Usage: tools/build-lzma-mingw.sh PREFIX
#
# PREFIX/kestro-lzma.stamp records what the library was built from (source
# version, compiler, options); when it matches, the script does nothing, so
# PREFIX can be a cache kept between runs. Otherwise the library is rebuilt
# and replaces what the stamp's earlier build left. A PREFIX that holds other
# files and no stamp is refused, never emptied.
#
# The source comes through apt with a private state folder: the machine's
# apt sources, copied with their "deb" entries turned into "deb-src", so no
# mirror is named here, nothing under /etc/apt changes and no root is
# needed. Needs dpkg-dev (dpkg-source) and gcc-mingw-w64-x86-64-posix.
set -euo pipefail

(($# == 1)) || { echo "usage: $0 PREFIX" >&2; exit 2; }
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
host=x86_64-w64-mingw32
cc=$host-gcc-posix
command -v "$cc" >/dev/null || { echo "needs $cc (Debian package gcc-mingw-w64-x86-64-posix)" >&2; exit 2; }
command -v dpkg-source >/dev/null || { echo "needs dpkg-source (Debian package dpkg-dev)" >&2; exit 2; }

# The Windows build codes with the same release of liblzma as the Linux
# one: the machine's liblzma5 names the upstream version, and the source is
# that version's newest Debian revision the sources offer (the revision
# installed may be gone from them), so the build is redone when liblzma5
# changes.
installed=$(dpkg-query -W -f='${source:Version}' liblzma5)
upstream=${installed#*:}
upstream=${upstream%-*}
configure_options=("--host=$host" --enable-static --disable-shared --disable-threads
  --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links
  --disable-scripts --disable-doc --disable-nls)
compiler=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix 2>/dev/null || "$cc" --version | head -n 1)
stamp="xz-utils $upstream for liblzma5 $installed; $cc $compiler; ${configure_options[*]}"
if [[ -f $prefix/kestro-lzma.stamp && $(<"$prefix/kestro-lzma.stamp") == "$stamp" &&
  -f $prefix/lib/liblzma.a && -f $prefix/include/lzma.h ]]; then
  echo "liblzma $upstream for $host is up to date in $prefix"
  exit 0
fi
if [[ ! -f $prefix/kestro-lzma.stamp && -n $(ls -A "$prefix") ]]; then
  echo "$prefix holds other files; give an empty or new folder" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The private apt state: sources.list lines and one-line .list files turn
# "deb" into "deb-src"; deb822 .sources files get "Types: deb-src".
apt=$work/apt
mkdir -p "$apt/sources.list.d" "$apt/lists/partial" "$apt/cache/archives/partial"
if [[ -f /etc/apt/sources.list ]]; then
  sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list >"$apt/sources.list"
else
  : >"$apt/sources.list"
fi
for list in /etc/apt/sources.list.d/*.list; do
  [[ -f $list ]] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list" >"$apt/sources.list.d/$(basename "$list")"
done
for sources in /etc/apt/sources.list.d/*.sources; do
  [[ -f $sources ]] && sed 's/^Types:.*/Types: deb-src/' "$sources" >"$apt/sources.list.d/$(basename "$sources")"
done
aptOptions=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d"
  -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
  -o "APT::Sandbox::User=$(id -un)")
# A source that offers no source packages fails its part of the update
# only; the package is looked for in the others.
apt-get "${aptOptions[@]}" -qq update || echo "apt-get update reported errors; trying the sources it read"
version=
for offered in $(apt-cache "${aptOptions[@]}" showsrc xz-utils | sed -n 's/^Version: //p'); do
  [[ $offered == "$upstream"-* || $offered == *:"$upstream"-* ]] || continue
  if [[ -z $version ]] || dpkg --compare-versions "$offered" gt "$version"; then version=$offered; fi
done
[[ -n $version ]] || { echo "no source package of xz-utils $upstream in the apt sources" >&2; exit 1; }
mkdir "$work/src"
(cd "$work/src" && apt-get "${aptOptions[@]}" -qq source "xz-utils=$version" >/dev/null)
source=$(find "$work/src" -mindepth 1 -maxdepth 1 -type d -name 'xz-utils-*' | head -n 1)
[[ -n $source ]] || { echo "apt-get source xz-utils=$version unpacked nothing" >&2; exit 1; }

# xz's own build system; only liblzma is built and installed.
(cd "$source" && ./configure --prefix="$prefix" CC="$cc" CFLAGS="-O2" "${configure_options[@]}" \
  >"$work/configure.log" 2>&1) || { tail -n 40 "$work/configure.log" >&2; exit 1; }
make -C "$source/src/liblzma" -j2 >"$work/make.log" 2>&1 || { tail -n 40 "$work/make.log" >&2; exit 1; }
make -C "$source/src/liblzma" install DESTDIR="$work/stage" >>"$work/make.log" 2>&1 ||
  { tail -n 40 "$work/make.log" >&2; exit 1; }

# Replace the earlier build only now that the new one is complete; the
# stamp is written last, so a run stopped half-way is redone next time.
rm -rf "$prefix"
mkdir -p "$prefix"
cp -a "$work/stage$prefix/." "$prefix/"
rm -f "$prefix"/lib/*.la
echo "$stamp" >"$prefix/kestro-lzma.stamp"
echo "xz-utils $version" >"$prefix/kestro-lzma.source"
echo "liblzma from xz-utils $version for $host installed in $prefix"
