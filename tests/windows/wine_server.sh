#!/bin/sh
# The Wine server that the Windows tests share, with Wine's own services:
# CTest starts it before the tests and stops it after them. It runs in a
# session of its own, with its output away from CTest's pipes. Otherwise the
# services that a test's first Wine process starts would hold that test's
# output open until the server ends, seconds later, and CTest would wait
# for them each time.
# Usage: wine_server.sh start|stop WINE_DIRECTORY (with WINEPREFIX set)
set -u
wine_dir=$2
case $1 in
start)
  # A server of this prefix that is already running (the tests' listing
  # starts one) is replaced by one that stays until it is stopped.
  if ! setsid "$wine_dir/wineserver" -p </dev/null >/dev/null 2>&1; then
    "$wine_dir/wineserver" -k >/dev/null 2>&1
    "$wine_dir/wineserver" -w >/dev/null 2>&1
    setsid "$wine_dir/wineserver" -p </dev/null >/dev/null 2>&1 || exit 1
  fi
  exec "$wine_dir/wine64" cmd /c exit </dev/null >/dev/null 2>&1
  ;;
stop)
  "$wine_dir/wineserver" -k >/dev/null 2>&1
  exit 0
  ;;
esac
exit 2
