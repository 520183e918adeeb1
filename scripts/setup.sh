#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need, from Debian packages only.
# Idempotent: a second run on a ready machine checks and returns in about a second.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
third="$here/third_party-cache"   # generated, never committed (see .gitignore)

need=(cmake g++ make ninja-build ccache libsimdjson-dev libssl-dev googletest libgtest-dev libbenchmark-dev
      clang clang-16 libclang-rt-16-dev mingw-w64 g++-mingw-w64-x86-64-posix wine wine64 dpkg-dev python3)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

sudo_() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

enable_deb_src() {
  # deb-src is needed only to fetch simdjson's source for the Windows build.
  local f
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    grep -q '^Types:.*deb-src' "$f" && continue
    sudo_ sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
  done
  if [ -f /etc/apt/sources.list ] && grep -q '^deb ' /etc/apt/sources.list && ! grep -q '^deb-src ' /etc/apt/sources.list; then
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | sudo_ tee -a /etc/apt/sources.list >/dev/null
  fi
}

updated=0
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  enable_deb_src
  sudo_ apt-get update -qq
  updated=1
  DEBIAN_FRONTEND=noninteractive sudo_ apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# simdjson for the Windows build: the amalgamation of the same version as the native package.
ver="$(dpkg-query -W -f='${Version}' libsimdjson-dev)"
upstream="${ver%%-*}"
dest="$third/simdjson-$upstream"
if [ ! -f "$dest/simdjson.cpp" ]; then
  echo "setup: fetching simdjson $ver source for the Windows build"
  enable_deb_src
  [ "$updated" = 1 ] || sudo_ apt-get update -qq
  tmp="$(mktemp -d)"
  (cd "$tmp" && apt-get source -qq --download-only "simdjson=$ver" >/dev/null 2>&1 || apt-get source -qq --download-only simdjson >/dev/null)
  tarball="$(ls "$tmp"/simdjson_*.orig.tar.* | head -n1)"
  mkdir -p "$tmp/src" "$dest"
  tar -xf "$tarball" -C "$tmp/src" --strip-components=1
  cp "$tmp/src/singleheader/simdjson.cpp" "$tmp/src/singleheader/simdjson.h" "$dest/"
  rm -rf "$tmp"
fi
echo "setup: ready (simdjson $upstream)"
