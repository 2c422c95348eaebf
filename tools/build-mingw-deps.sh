#!/usr/bin/env bash
# Builds the libraries the 64-bit Windows build (x86_64-w64-mingw32) links
# statically, from Debian's own source packages, and installs them under
# PREFIX:
#   liblzma, from xz-utils, the upstream release of the machine's liblzma5:
#     include/lzma.h, include/lzma/, lib/liblzma.a (single-threaded, without
#     the xz programs) and lib/pkgconfig/liblzma.pc;
#   libcrypto, from openssl, the upstream series of the machine's
#     libssl-dev: include/openssl/, lib/libcrypto.a (trimmed down to
#     what signing needs: Ed25519, SHA-512, PEM key files, random bytes)
#     and lib/pkgconfig/libcrypto.pc.
# The Windows cross build finds both with -DCMAKE_PREFIX_PATH=PREFIX.
#
# Usage: tools/build-mingw-deps.sh PREFIX
#
# Each library has its stamp, PREFIX/kestro-lzma.stamp and
# PREFIX/kestro-crypto.stamp: its first line is what the library is built
# from (source release, compiler, options), the second the source package
# version the build used. A library whose first line matches is left alone,
# so PREFIX can be a cache kept between runs; one that differs is rebuilt
# and replaces the files its earlier build left, touching nothing else. A
# PREFIX that holds other files and no stamp is refused, never emptied.
#
# The sources come through apt with a private state folder: the machine's
# apt sources, copied with their "deb" entries turned into "deb-src", so no
# mirror is named here, nothing under /etc/apt changes and no root is
# needed. Needs dpkg-dev (dpkg-source), gcc-mingw-w64-x86-64-posix, make
# and perl (not perl-base alone).
set -euo pipefail

(($# == 1)) || { echo "usage: $0 PREFIX" >&2; exit 2; }
mkdir -p "$1"
prefix=$(cd "$1" && pwd)
host=x86_64-w64-mingw32
cc=$host-gcc-posix
command -v "$cc" >/dev/null || { echo "needs $cc (Debian package gcc-mingw-w64-x86-64-posix)" >&2; exit 2; }
command -v dpkg-source >/dev/null || { echo "needs dpkg-source (Debian package dpkg-dev)" >&2; exit 2; }
command -v make >/dev/null || { echo "needs make" >&2; exit 2; }
# OpenSSL's Configure uses modules that perl-base lacks (IPC::Cmd).
perl -MIPC::Cmd -e 1 2>/dev/null || { echo "needs perl with its modules (Debian package perl)" >&2; exit 2; }
compiler=$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix 2>/dev/null || "$cc" --version | head -n 1)
jobs=$(nproc)

# The Windows build codes with the same release of liblzma as the Linux
# one: the machine's liblzma5 names the upstream version, and the source is
# that version's newest Debian revision the sources can deliver (the
# revision installed may be gone from them), so the build is redone when
# liblzma5 changes.
lzma_installed=$(dpkg-query -W -f='${source:Version}' liblzma5)
lzma_upstream=${lzma_installed#*:}
lzma_upstream=${lzma_upstream%-*}
lzma_options=("--host=$host" --enable-static --disable-shared --disable-threads
  --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links
  --disable-scripts --disable-doc --disable-nls)
lzma_key="xz-utils $lzma_upstream for liblzma5 $lzma_installed; $cc $compiler; ${lzma_options[*]}"
lzma_files=(include/lzma.h include/lzma lib/liblzma.a lib/pkgconfig/liblzma.pc)

# libcrypto follows the machine's libssl-dev in the same way, by its
# upstream series (3.0 for 3.0.19): the sources keep only some revisions of
# a series, and some of those only in part, so the newest one that can be
# fetched is taken.
crypto_installed=$(dpkg-query -W -f='${source:Version}' libssl-dev)
crypto_series=${crypto_installed#*:}
crypto_series=${crypto_series%%-*}
crypto_series=${crypto_series%.*}
# A static library without programs, engines, loadable modules or network
# code; what stays is what signing needs (Ed25519, SHA-512, the PEM,
# PKCS#8 and SubjectPublicKeyInfo key files, random bytes) and what
# OpenSSL cannot leave out around them (AES and PBKDF2 for encrypted key
# files among them). Threads stay: kestro.dll may be called from several
# threads at once, and libcrypto's locks are Windows's own, needing no
# further DLL. The compiler is the one the project builds with, the cross
# prefix naming its ar, ranlib and windres.
crypto_options=(mingw64 "--cross-compile-prefix=$host-" CC=gcc-posix --libdir=lib
  no-shared no-module no-asm no-tests no-ui-console no-engine no-dso no-legacy no-deprecated
  no-ssl no-tls no-dtls no-comp no-ocsp no-cms no-ts no-srp no-ct no-rfc3779 no-idea no-rc2
  no-rc4 no-rc5 no-des no-md4 no-mdc2 no-whirlpool no-sm2 no-sm3 no-sm4 no-seed no-bf no-cast
  no-camellia no-aria no-siphash no-scrypt no-dsa no-dh no-cmac no-ocb no-siv no-chacha
  no-poly1305 no-blake2 no-async no-sock no-srtp no-autoload-config no-ec2m no-cmp no-rmd160
  no-filenames)
crypto_key="openssl $crypto_series for libssl-dev $crypto_installed; $cc $compiler; ${crypto_options[*]}"
crypto_files=(include/openssl lib/libcrypto.a lib/pkgconfig/libcrypto.pc)

# up_to_date NAME KEY FILE...: whether the library's stamp says it was
# built from KEY and its files are all there.
up_to_date() {
  local name=$1 key=$2 file stamped
  shift 2
  [[ -f $prefix/kestro-$name.stamp ]] || return 1
  stamped=$(head -n 1 "$prefix/kestro-$name.stamp")
  [[ $stamped == "$key" ]] || return 1
  for file; do
    [[ -e $prefix/$file ]] || return 1
  done
}

if ! compgen -G "$prefix/kestro-*.stamp" >/dev/null && [[ -n $(ls -A "$prefix") ]]; then
  echo "$prefix holds other files; give an empty or new folder" >&2
  exit 2
fi
wanted=()
if up_to_date lzma "$lzma_key" "${lzma_files[@]}"; then
  echo "liblzma $lzma_upstream for $host is up to date in $prefix"
else
  wanted+=(lzma)
fi
if up_to_date crypto "$crypto_key" "${crypto_files[@]}"; then
  echo "libcrypto $crypto_series for $host is up to date in $prefix"
else
  wanted+=(crypto)
fi
((${#wanted[@]})) || exit 0

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# step LOG DIR COMMAND...: runs COMMAND in DIR with its output in LOG; on
# failure shows the end of LOG and stops the script.
step() {
  local log=$1 dir=$2
  shift 2
  (cd "$dir" && "$@") >>"$log" 2>&1 || {
    tail -n 40 "$log" >&2
    echo "failed: $*" >&2
    exit 1
  }
}

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
apt_options=(-o "Dir::Etc::SourceList=$apt/sources.list" -o "Dir::Etc::SourceParts=$apt/sources.list.d"
  -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache"
  -o "APT::Sandbox::User=$(id -un)")
# A source that offers no source packages fails its part of the update
# only; the packages are looked for in the others.
apt-get "${apt_options[@]}" -qq update || echo "apt-get update reported errors; trying the sources it read"

# offered_versions PACKAGE PATTERN: the versions of the source package the
# apt sources offer whose version without epoch matches the glob PATTERN,
# newest first.
offered_versions() {
  local package=$1 pattern=$2 offered i
  local -a newest_first=()
  for offered in $(apt-cache "${apt_options[@]}" showsrc "$package" | sed -n 's/^Version: //p' | sort -u); do
    # shellcheck disable=SC2053 # PATTERN is a glob
    [[ ${offered#*:} == $pattern ]] || continue
    i=${#newest_first[@]}
    while ((i > 0)) && dpkg --compare-versions "$offered" gt "${newest_first[i - 1]}"; do
      newest_first[i]=${newest_first[i - 1]}
      i=$((i - 1))
    done
    newest_first[i]=$offered
  done
  ((${#newest_first[@]} == 0)) || printf '%s\n' "${newest_first[@]}"
}

# fetch_source PACKAGE VERSION...: fetches and unpacks the source package
# in the first of the versions that the sources deliver whole, and sets
# source_dir (the unpacked tree) and source_version. A version the sources
# lists may still lack files on the mirror, so each is tried in a folder
# of its own.
fetch_source() {
  local package=$1 version folder
  shift
  (($#)) || { echo "no source package of $package in the apt sources fits the installed one" >&2; exit 1; }
  for version; do
    folder=$work/src/$package=$version
    mkdir -p "$folder"
    if (cd "$folder" && apt-get "${apt_options[@]}" -qq source "$package=$version") >"$folder.log" 2>&1; then
      source_dir=$(find "$folder" -mindepth 1 -maxdepth 1 -type d -name "$package-*" | head -n 1)
      if [[ -n $source_dir ]]; then
        source_version=$version
        return
      fi
    fi
    echo "apt-get source $package=$version failed; trying an older revision" >&2
    tail -n 3 "$folder.log" >&2
  done
  echo "no version of $package could be fetched: $*" >&2
  exit 1
}

# build_lzma STAGE: liblzma with xz's own build system, installed under
# STAGE as it would be under PREFIX.
build_lzma() {
  local stage=$1 versions
  mapfile -t versions < <(offered_versions xz-utils "$lzma_upstream-*")
  fetch_source xz-utils "${versions[@]}"
  step "$work/lzma.log" "$source_dir" ./configure --prefix="$prefix" CC="$cc" CFLAGS="-O2" "${lzma_options[@]}"
  step "$work/lzma.log" "$source_dir/src/liblzma" make -j"$jobs"
  step "$work/lzma.log" "$source_dir/src/liblzma" make install DESTDIR="$stage"
  built_from="xz-utils $source_version"
}

# build_crypto STAGE: libcrypto alone, without libssl: the generated
# headers first (the library's objects need them), then the archive, then
# the headers, archive and pkg-config file installed under STAGE; LIBS and
# INSTALL_LIBS keep OpenSSL's install rule from building libssl.
build_crypto() {
  local stage=$1 versions
  mapfile -t versions < <(offered_versions openssl "$crypto_series.*")
  fetch_source openssl "${versions[@]}"
  step "$work/crypto.log" "$source_dir" ./Configure "${crypto_options[@]}" --prefix="$prefix"
  step "$work/crypto.log" "$source_dir" make -j"$jobs" build_generated
  step "$work/crypto.log" "$source_dir" make -j"$jobs" libcrypto.a
  step "$work/crypto.log" "$source_dir" make install_dev LIBS=libcrypto.a INSTALL_LIBS=libcrypto.a \
    DESTDIR="$stage"
  built_from="openssl $source_version"
}

# install_library NAME KEY FILE...: puts the library's FILEs from its
# complete build in place of its earlier ones. The stamp goes first and is
# written last, so a run stopped half-way rebuilds the library next time.
install_library() {
  local name=$1 key=$2 stage=$work/stage-$1$prefix file
  shift 2
  for file; do
    [[ -e $stage/$file ]] || { echo "the build of $name made no $file" >&2; exit 1; }
  done
  # kestro-NAME.source is where an earlier version of this script kept
  # the source version that the stamp now holds.
  rm -f "$prefix/kestro-$name.stamp" "$prefix/kestro-$name.source"
  for file; do
    rm -rf "${prefix:?}/$file"
    mkdir -p "$(dirname "$prefix/$file")"
    cp -a "$stage/$file" "$prefix/$file"
  done
  printf '%s\n%s\n' "$key" "$built_from" >"$prefix/kestro-$name.stamp"
}

for name in "${wanted[@]}"; do
  case $name in
    lzma)
      build_lzma "$work/stage-lzma"
      install_library lzma "$lzma_key" "${lzma_files[@]}"
      echo "liblzma from $built_from for $host installed in $prefix"
      ;;
    crypto)
      build_crypto "$work/stage-crypto"
      install_library crypto "$crypto_key" "${crypto_files[@]}"
      echo "libcrypto from $built_from for $host installed in $prefix"
      ;;
  esac
done
