#!/usr/bin/env bash
# OpenCV for the Windows builds of the capture program: core, imgproc and imgcodecs (PNG only),
# static, for one mingw-w64 architecture (posix threads), from Debian's own source packages (opencv
# and libpng1.6 by `apt-get source`, with deb-src enabled in a sources file of our own; zlib from
# libz-mingw-w64-dev). Built once per machine and architecture into a cache outside the checkout;
# a run that finds the cache complete returns at once. scripts/setup.sh calls it for both.
#
# Usage: opencv-mingw.sh [i686|x86_64]   (default i686)
#
# Result (relocatable):
#   $PREFIX/tw-opencv.cmake                        imported target tw_opencv_mingw
#   $PREFIX/lib/cmake/opencv4/OpenCVConfig.cmake  find_package(OpenCV ...)
#
# Environment:
#   TW_OPENCV_CACHE         where the prefixes live (default ~/.cache/tarnwick); the prefix is
#                           $TW_OPENCV_CACHE/opencv-mingw-<arch>, where the build looks for it
#   TW_OPENCV_BUILD_DIR     scratch folder, removed afterwards (default <cache>/build-opencv-<arch>)
#   TW_OPENCV_VERSION, TW_LIBPNG_VERSION  pin Debian's source versions (default: the newest that downloads)
#   TW_OPENCV_FORCE=1       rebuild even when the cache is complete
#   TW_JOBS                 parallel jobs (default: nproc)
set -Eeuo pipefail

# Bump when the build recipe changes so existing prefixes get rebuilt.
RECIPE=1

ARCH="${1:-i686}"
case "$ARCH" in
  i686) PROCESSOR=x86 ;;
  x86_64) PROCESSOR=AMD64 ;;
  *) echo "usage: $0 [i686|x86_64]" >&2; exit 2 ;;
esac
CACHE_ROOT="${TW_OPENCV_CACHE:-$HOME/.cache/tarnwick}"
PREFIX="$CACHE_ROOT/opencv-mingw-$ARCH"
WORK="${TW_OPENCV_BUILD_DIR:-$CACHE_ROOT/build-opencv-$ARCH}"
JOBS="${TW_JOBS:-$(nproc)}"
TRIPLE=$ARCH-w64-mingw32
CC="$TRIPLE-gcc-posix"
CXX="$TRIPLE-g++-posix"
SYSROOT="/usr/$TRIPLE"
STAMP_NAME=.tw-opencv-stamp
SRC_LIST=/etc/apt/sources.list.d/tarnwick-src.sources

export LC_ALL=C
PREFIX="$(realpath -m "$PREFIX")"
WORK="$(realpath -m "$WORK")"

log() { printf '[opencv-mingw-%s %(%H:%M:%S)T] %s\n' "$ARCH" -1 "$*" >&2; }
die() { log "ERROR: $*"; exit 1; }

# Everything that decides the binary content; a prefix built with another key is stale.
build_key() {
  local cxx_ver=missing
  command -v "$CXX" >/dev/null 2>&1 && cxx_ver="$("$CXX" --version | head -n1)"
  printf 'recipe=%s|cxx=%s|dispatch=|opencv=%s|libpng=%s' \
    "$RECIPE" "$cxx_ver" "${TW_OPENCV_VERSION:-any}" "${TW_LIBPNG_VERSION:-any}"
}

prefix_complete() {
  local stamp="$PREFIX/$STAMP_NAME" f
  [ -f "$stamp" ] || return 1
  [ "$(sed -n 's/^key=//p' "$stamp")" = "$KEY" ] || return 1
  for f in lib/libopencv_core.a lib/libopencv_imgproc.a lib/libopencv_imgcodecs.a \
             lib/libpng16.a lib/libz.a lib/cmake/opencv4/OpenCVConfig.cmake tw-opencv.cmake; do
    [ -f "$PREFIX/$f" ] || return 1
  done
}

KEY="$(build_key)"
if [ "${TW_OPENCV_FORCE:-0}" != 1 ] && prefix_complete; then
  exit 0
fi

mkdir -p "$CACHE_ROOT" "$(dirname "$PREFIX")"
# One build at a time; a second caller waits and then finds the prefix complete.
exec 9>"$CACHE_ROOT/.opencv-mingw-$ARCH.lock"
if ! flock -n 9; then
  log "another build is running, waiting for it"
  flock 9
fi
if [ "${TW_OPENCV_FORCE:-0}" != 1 ] && prefix_complete; then
  log "up to date: $PREFIX (built by a concurrent run)"
  exit 0
fi

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

APT_OPTS=(-q -o DPkg::Lock::Timeout=300)
APT_UPDATED=0
apt_update() {
  [ "$APT_UPDATED" = 1 ] && return 0
  log "apt-get update"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get "${APT_OPTS[@]}" update >"$LOGS/apt-update.log" 2>&1 \
    || { tail -n 20 "$LOGS/apt-update.log" >&2; die "apt-get update failed"; }
  APT_UPDATED=1
}

ensure_packages() {
  local missing=() p
  for p in "$@"; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" = installed ] || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  apt_update
  log "installing ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get "${APT_OPTS[@]}" install -y --no-install-recommends \
    "${missing[@]}" >"$LOGS/apt-install.log" 2>&1 \
    || { tail -n 20 "$LOGS/apt-install.log" >&2; die "apt-get install failed"; }
}

# deb-src twin of every enabled "deb" stanza in Debian's deb822 list.
deb_src_stanzas() {
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /(^|\n)Enabled:[ \t]*no/ { next }
         /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/ {
             gsub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src")
             gsub(/\n#[^\n]*/, "")
             sub(/^\n/, "")
             print
         }' "$1"
}

enable_deb_src() {
  local main=/etc/apt/sources.list.d/debian.sources want=""
  if [ -f "$main" ]; then
    # Already has deb-src: a second copy would only make apt warn about duplicates.
    if ! grep -Eq '^Types:.*deb-src' "$main"; then
      want="$(deb_src_stanzas "$main")"
    fi
  elif [ -f /etc/apt/sources.list ] && ! grep -Eq '^[[:space:]]*deb-src[[:space:]]' /etc/apt/sources.list; then
    # Old one-line format: turn each "deb" line into "deb-src".
    SRC_LIST=/etc/apt/sources.list.d/tarnwick-src.list
    want="$(sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' /etc/apt/sources.list)"
  fi
  if [ -n "$want" ] && [ "$(cat "$SRC_LIST" 2>/dev/null)" != "$want" ]; then
    log "enabling deb-src in $SRC_LIST"
    printf '%s\n' "$want" | as_root tee "$SRC_LIST" >/dev/null
    APT_UPDATED=0
    apt_update
  fi
  has_src_index || apt_update
  has_src_index || die "no deb-src index for opencv even after apt-get update"
}

# grep -c reads to the end: grep -q would SIGPIPE apt-cache under pipefail.
has_src_index() {
  [ "$(apt-cache showsrc --only-source opencv 2>/dev/null | grep -c '^Package:')" -gt 0 ]
}

# Versions of a source package, newest first.
source_versions() {
  local v sorted=() i j
  while read -r v; do
    [ -n "$v" ] || continue
    for i in "${sorted[@]}"; do [ "$i" = "$v" ] && continue 2; done
    sorted+=("$v")
  done < <(apt-cache showsrc --only-source "$1" | sed -n 's/^Version: //p')
  for ((i = 1; i < ${#sorted[@]}; i++)); do
    for ((j = i; j > 0; j--)); do
      if dpkg --compare-versions "${sorted[j]}" gt "${sorted[j-1]}"; then
        v=${sorted[j]}; sorted[j]=${sorted[j-1]}; sorted[j-1]=$v
      else
        break
      fi
    done
  done
  printf '%s\n' "${sorted[@]}"
}

# Download and unpack (with Debian's patches) into $WORK/src/<pkg>.
# The index can list a version whose files the mirror no longer has, so try
# older ones before giving up. Sets FETCHED_VERSION and FETCHED_DIR.
fetch_source() {
  local pkg=$1 pin=$2 dir="$WORK/src/$1" v versions extra=()
  [ "$(id -u)" -eq 0 ] && extra=(-o APT::Sandbox::User=root)  # _apt cannot enter ~root
  for _ in 1 2; do
    if [ -n "$pin" ]; then versions=$pin; else versions="$(source_versions "$pkg")"; fi
    [ -n "$versions" ] || die "no source versions of $pkg"
    for v in $versions; do
      rm -rf "$dir"; mkdir -p "$dir"
      log "apt-get source $pkg=$v"
      if (cd "$dir" && apt-get -q "${extra[@]}" source "$pkg=$v") >"$LOGS/source-$pkg.log" 2>&1; then
        FETCHED_VERSION=$v
        FETCHED_DIR="$(find "$dir" -mindepth 1 -maxdepth 1 -type d -print -quit)"
        [ -n "$FETCHED_DIR" ] || die "apt-get source $pkg=$v unpacked nothing"
        rm -f "$dir"/*.tar.* "$dir"/*.dsc  # unpacked now; the tarballs only cost disk
        return 0
      fi
      log "  $pkg=$v failed: $(grep -m1 '^E:' "$LOGS/source-$pkg.log" || tail -n1 "$LOGS/source-$pkg.log")"
    done
    # A stale index names files the mirror has dropped: refresh it once.
    [ "$APT_UPDATED" = 1 ] && break
    apt_update
  done
  die "could not fetch any source version of $pkg (see $LOGS/source-$pkg.log)"
}

run_logged() {
  local name=$1; shift
  log "$name"
  if ! "$@" >"$LOGS/$name.log" 2>&1; then
    tail -n 40 "$LOGS/$name.log" >&2
    die "$name failed (full log: $LOGS/$name.log)"
  fi
}

write_toolchain() {
  cat >"$1" <<EOF
# mingw-w64 $ARCH posix-threads cross toolchain (written by opencv-mingw.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR $PROCESSOR)
set(CMAKE_C_COMPILER $CC)
set(CMAKE_CXX_COMPILER $CXX)
set(CMAKE_RC_COMPILER $TRIPLE-windres)
set(CMAKE_FIND_ROOT_PATH $SYSROOT)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
EOF
}

write_tw_cmake() {
  cat >"$1" <<'EOF'
# Imported target tw_opencv_mingw: static OpenCV core/imgproc/imgcodecs with
# libpng and zlib for one mingw-w64 architecture (written by opencv-mingw.sh).
# Paths are relative to this file, so the prefix may be moved or copied.
# Usage: include(<prefix>/tw-opencv.cmake)
#        target_link_libraries(app PRIVATE tw_opencv_mingw)
if(TARGET tw_opencv_mingw)
  return()
endif()
set(_tw_ocv "${CMAKE_CURRENT_LIST_DIR}")
add_library(tw_opencv_mingw INTERFACE IMPORTED)
set_target_properties(tw_opencv_mingw PROPERTIES
  INTERFACE_INCLUDE_DIRECTORIES "${_tw_ocv}/include/opencv4"
  # Static link order: dependents first.
  INTERFACE_LINK_LIBRARIES "${_tw_ocv}/lib/libopencv_imgcodecs.a;${_tw_ocv}/lib/libopencv_imgproc.a;${_tw_ocv}/lib/libopencv_core.a;${_tw_ocv}/lib/libpng16.a;${_tw_ocv}/lib/libz.a@SYSLIBS@")
unset(_tw_ocv)
EOF
}

# ---------------------------------------------------------------------------

LOGS="$WORK/logs"
cleanup() {
  local rc=$?
  if [ $rc -eq 0 ]; then
    rm -rf "$WORK"
  else
    # Keep only the logs of a failed run; sources and trees are large.
    rm -rf "$WORK/src" "$WORK/build" "$WORK/stage"
    log "logs kept in $LOGS"
  fi
}

START=$SECONDS
# Only ever replace a prefix this script made (or an empty one); checked before minutes of building.
if [ -e "$PREFIX" ] && ! { [ -d "$PREFIX" ] && { [ -f "$PREFIX/$STAMP_NAME" ] || [ -f "$PREFIX/tw-opencv.cmake" ] || [ -z "$(ls -A "$PREFIX")" ]; }; }; then
  die "$PREFIX exists and was not made by this script; refusing to replace it"
fi
# The scratch folder is wiped: make sure a stray TW_OPENCV_BUILD_DIR cannot point at something precious.
case "$WORK" in
  / | "$HOME" | "$PREFIX" | "$PREFIX"/* | /usr* | /etc* | /work) die "unsafe TW_OPENCV_BUILD_DIR: $WORK" ;;
esac
case "$PREFIX" in "$WORK"/*) die "TW_OPENCV_BUILD_DIR must not contain the prefix" ;; esac
trap cleanup EXIT
rm -rf "$WORK"
mkdir -p "$LOGS"

ensure_packages dpkg-dev cmake ninja-build xz-utils \
  "gcc-mingw-w64-${ARCH//_/-}-posix" "g++-mingw-w64-${ARCH//_/-}-posix" "binutils-mingw-w64-${ARCH//_/-}" \
  mingw-w64-tools libz-mingw-w64-dev
KEY="$(build_key)"  # the compiler may have just been installed
enable_deb_src

fetch_source opencv "${TW_OPENCV_VERSION:-}"
OPENCV_VERSION=$FETCHED_VERSION OPENCV_SRC=$FETCHED_DIR
fetch_source libpng1.6 "${TW_LIBPNG_VERSION:-}"
LIBPNG_VERSION=$FETCHED_VERSION LIBPNG_SRC=$FETCHED_DIR
ZLIB_VERSION="$(dpkg-query -W -f='${Version}' libz-mingw-w64-dev)"

# Install through DESTDIR into a staging copy of the prefix, then swap it in,
# so a failed rebuild never leaves a half-written prefix behind.
STAGE="$WORK/stage"
SP="$STAGE$PREFIX"
mkdir -p "$SP/lib" "$SP/include" "$SP/share/tarnwick"
TOOLCHAIN="$SP/share/tarnwick/mingw-$ARCH-toolchain.cmake"
write_toolchain "$TOOLCHAIN"

# Copy zlib into the prefix so consumers do not need libz-mingw-w64-dev;
# only the .a (a libz.dll.a beside it would win over it with -lz).
cp "$SYSROOT/lib/libz.a" "$SP/lib/"
cp "$SYSROOT/include/zlib.h" "$SYSROOT/include/zconf.h" "$SP/include/"

COMMON_CMAKE=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN"
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DCMAKE_INSTALL_LIBDIR=lib
    -DZLIB_LIBRARY="$SP/lib/libz.a" -DZLIB_INCLUDE_DIR="$SP/include")

run_logged libpng-configure cmake -S "$LIBPNG_SRC" -B "$WORK/build/libpng" "${COMMON_CMAKE[@]}" \
    -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_FRAMEWORK=OFF
run_logged libpng-build cmake --build "$WORK/build/libpng" -j "$JOBS"
run_logged libpng-install env DESTDIR="$STAGE" cmake --install "$WORK/build/libpng"
[ -f "$SP/lib/libpng16.a" ] || die "libpng install produced no libpng16.a"

# Everything but core/imgproc/imgcodecs + PNG is off; the dfsg source has no
# 3rdparty/ folder, so nothing may fall back to bundled copies either.
run_logged opencv-configure cmake -S "$OPENCV_SRC" -B "$WORK/build/opencv" "${COMMON_CMAKE[@]}" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_LIST=core,imgproc,imgcodecs \
    -DCPU_BASELINE=SSE2 -DCPU_DISPATCH= \
    -DWITH_PNG=ON -DBUILD_PNG=OFF -DBUILD_ZLIB=OFF \
    -DPNG_LIBRARY="$SP/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$SP/include/libpng16" \
    -DWITH_SPNG=OFF -DWITH_JPEG=OFF -DWITH_TIFF=OFF -DWITH_WEBP=OFF -DWITH_OPENEXR=OFF \
    -DWITH_JASPER=OFF -DWITH_OPENJPEG=OFF -DWITH_IMGCODEC_HDR=OFF -DWITH_IMGCODEC_SUNRASTER=OFF \
    -DWITH_IMGCODEC_PXM=OFF -DWITH_IMGCODEC_PFM=OFF -DWITH_GDAL=OFF -DWITH_GDCM=OFF \
    -DWITH_IPP=OFF -DWITH_ITT=OFF -DWITH_OPENCL=OFF -DWITH_OPENCLAMDFFT=OFF -DWITH_OPENCLAMDBLAS=OFF \
    -DWITH_VA=OFF -DWITH_VA_INTEL=OFF -DWITH_CUDA=OFF -DWITH_VULKAN=OFF \
    -DWITH_PROTOBUF=OFF -DBUILD_PROTOBUF=OFF -DWITH_EIGEN=OFF -DWITH_LAPACK=OFF -DWITH_TBB=OFF \
    -DWITH_OPENMP=OFF -DWITH_HPX=OFF -DWITH_QUIRC=OFF -DWITH_ADE=OFF -DWITH_CAROTENE=OFF \
    -DWITH_OPENVX=OFF -DWITH_INF_ENGINE=OFF -DWITH_NGRAPH=OFF -DWITH_OPENVINO=OFF \
    -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF -DWITH_DSHOW=OFF -DWITH_MSMF=OFF -DWITH_DIRECTX=OFF \
    -DWITH_WIN32UI=OFF -DWITH_GTK=OFF -DWITH_QT=OFF -DWITH_OPENGL=OFF -DWITH_VTK=OFF \
    -DWITH_1394=OFF -DWITH_V4L=OFF -DWITH_OBSENSOR=OFF -DWITH_IMGCODEC_GIF=OFF \
    -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_opencv_apps=OFF \
    -DBUILD_DOCS=OFF -DBUILD_JAVA=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF \
    -DBUILD_opencv_world=OFF -DBUILD_opencv_highgui=OFF -DBUILD_opencv_videoio=OFF -DBUILD_opencv_dnn=OFF \
    -DINSTALL_C_EXAMPLES=OFF -DINSTALL_PYTHON_EXAMPLES=OFF -DINSTALL_TESTS=OFF \
    -DENABLE_PRECOMPILED_HEADERS=OFF -DOPENCV_GENERATE_SETUPVARS=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF \
    -DOPENCV_FORCE_3RDPARTY_BUILD=OFF -DOPENCV_DLLVERSION= -DOPENCV_PYTHON_SKIP_DETECTION=ON
run_logged opencv-build cmake --build "$WORK/build/opencv" -j "$JOBS"
run_logged opencv-install env DESTDIR="$STAGE" cmake --install "$WORK/build/opencv"
# Face-detection cascades and libpng's man pages/scripts are of no use here.
rm -rf "${SP:?}/share/opencv4" "${SP:?}/share/man" "${SP:?}/bin"

# Licenses of all three libraries together under share/licenses.
mkdir -p "$SP/share/licenses/opencv4" "$SP/share/licenses/libpng" "$SP/share/licenses/zlib"
[ -f "$SP/LICENSE" ] && mv "$SP/LICENSE" "$SP/share/licenses/opencv4/LICENSE"
cp "$LIBPNG_SRC/LICENSE" "$SP/share/licenses/libpng/"
cp /usr/share/doc/libz-mingw-w64-dev/copyright "$SP/share/licenses/zlib/"

# The exports name libpng/zlib by their staging path: point them at the
# prefix the config file is loaded from, which also keeps it relocatable.
sed -i "s#$SP/#\${_IMPORT_PREFIX}/#g" "$SP"/lib/cmake/opencv4/OpenCVModules*.cmake "$SP"/lib/libpng/libpng16*.cmake
if grep -rIl "$STAGE" "$SP" >&2; then
  die "staging path left in the files above"
fi

# Windows libraries OpenCV's export asks for (none today), so tw-opencv.cmake
# follows the export instead of a guess.
SYSLIBS="$(sed -n 's/.*INTERFACE_LINK_LIBRARIES "\(.*\)"/\1/p' "$SP"/lib/cmake/opencv4/OpenCVModules.cmake \
  | tr ';' '\n' | sed 's/^\$<LINK_ONLY:\(.*\)>$/\1/' \
  | grep -Ev '^opencv_|[/$<>]|^$' | sort -u | tr '\n' ' ' || true)"
SYSLIBS_CMAKE=""
for l in $SYSLIBS; do SYSLIBS_CMAKE+=";${l#-l}"; done
write_tw_cmake "$SP/tw-opencv.cmake"
sed -i "s#@SYSLIBS@#$SYSLIBS_CMAKE#" "$SP/tw-opencv.cmake"

cat >"$SP/$STAMP_NAME" <<EOF
key=$KEY
opencv=$OPENCV_VERSION
libpng1.6=$LIBPNG_VERSION
libz-mingw-w64-dev=$ZLIB_VERSION
compiler=$("$CXX" --version | head -n1)
cpu_baseline=SSE2
EOF

# Swap the new prefix in.
if [ -e "$PREFIX" ]; then
  OLD="$PREFIX.old.$$"
  mv "$PREFIX" "$OLD"
fi
mv "$SP" "$PREFIX"
[ -n "${OLD:-}" ] && rm -rf "$OLD"

log "done in $((SECONDS - START)) s: $PREFIX (opencv $OPENCV_VERSION, libpng $LIBPNG_VERSION, zlib $ZLIB_VERSION)"
