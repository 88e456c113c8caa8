#!/usr/bin/env bash
# The Windows build and its tests, on Linux: cross-builds FernwickTreeSyncer.exe
# and the Windows tests with MinGW-w64, then runs the tests with CTest under
# Wine: the unit tests, end-to-end runs of the .exe on real folders named with
# Windows paths, and the runs for users of Finnish and Korean regional
# settings. Everything it makes lands in build-windows/. Once it has run,
# `ctest --test-dir build-windows/fts` runs the tests again on its own.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-windows
started=$SECONDS

# --- Packages (Debian 12) ----------------------------------------------------
tools/install-deps.sh cmake ninja-build g++-mingw-w64-x86-64 wine64 googletest

toolchain=$root/cmake/mingw-w64-x86_64.cmake
# Two jobs at most: the build machines are shared.
jobs=$(($(nproc) < 2 ? $(nproc) : 2))

# --- GoogleTest for Windows, from Debian's sources, built once ------------------
gtest_prefix=$out/googletest-install
if [[ ! -f $gtest_prefix/lib/cmake/GTest/GTestConfig.cmake ]]; then
  echo "== Building GoogleTest for Windows"
  cmake -S /usr/src/googletest -B "$out/googletest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON -DCMAKE_INSTALL_PREFIX="$gtest_prefix" >/dev/null
  cmake --build "$out/googletest" -j "$jobs" >/dev/null
  cmake --install "$out/googletest" >/dev/null
fi

# --- A Wine prefix of the project's own -----------------------------------------
wine_prefix=$out/wineprefix
wine_env=(env -u DISPLAY WINEPREFIX="$wine_prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")
trap '"${wine_env[@]}" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true' EXIT
if [[ ! -d $wine_prefix ]]; then
  echo "== Making the Wine prefix"
  "${wine_env[@]}" /usr/lib/wine/wine64 cmd /c exit >/dev/null 2>&1 || true
  "${wine_env[@]}" /usr/lib/wine/wineserver -w
fi

# --- The program and its tests ---------------------------------------------------
echo "== Building FernwickTreeSyncer.exe and the Windows tests"
cmake -S . -B "$out/fts" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DFTS_BUILD_BENCH=OFF \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" -DFTS_WINE_PREFIX="$wine_prefix" >/dev/null
cmake --build "$out/fts" -j "$jobs"

echo "== Windows tests under Wine"
ctest --test-dir "$out/fts" --output-on-failure -j "$jobs" --timeout 300
echo "Windows part took $((SECONDS - started)) s"
