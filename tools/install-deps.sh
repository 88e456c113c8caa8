#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing:
# the usual ones, or those named as arguments. tools/test-windows.sh names
# MinGW-w64 and Wine that way, tools/fuzz.sh clang and libFuzzer's runtime
# (clang libclang-rt-14-dev llvm-14).
set -euo pipefail

packages=("$@")
# The file-system tools format and mount the images of the file-system
# matrix test (tests/run/file_system_matrix_test.cpp); systemd (its
# systemd-analyze) and bash-completion check packaging/ (tests/packaging/).
((${#packages[@]})) || packages=(cmake ninja-build g++ libgtest-dev libgmock-dev rsync time acl
  xfsprogs btrfs-progs exfatprogs exfat-fuse ntfs-3g dosfstools fusefat squashfs-tools fuse3
  systemd bash-completion)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}" >/dev/null
fi
