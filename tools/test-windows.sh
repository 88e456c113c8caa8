#!/usr/bin/env bash
# The Windows build and its tests, on Linux: cross-builds FernwickTreeSyncer.exe
# with MinGW-w64, runs the Windows unit tests under Wine, then runs the .exe
# under Wine on real folders named with Windows paths (Z:\...) and checks its
# log line by line, its CR LF line ends, its exit codes and the trees it
# leaves. Everything it makes lands in build-windows/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build-windows
started=$SECONDS

# --- Packages (Debian 12) ----------------------------------------------------
tools/install-deps.sh cmake ninja-build g++-mingw-w64-x86-64 wine64 googletest

toolchain=$root/cmake/mingw-w64-x86_64.cmake
jobs=$(nproc)

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

# --- The program and its unit tests ------------------------------------------
echo "== Building FernwickTreeSyncer.exe"
cmake -S . -B "$out/fts" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DFTS_BUILD_BENCH=OFF \
  -DGTest_DIR="$gtest_prefix/lib/cmake/GTest" >/dev/null
cmake --build "$out/fts" -j "$jobs"
exe=$out/fts/FernwickTreeSyncer.exe
unit_tests=$out/fts/tests/windows/fts_windows_tests.exe

# --- Wine: a prefix of the project's own; names as UTF-8 on the Linux side ------
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
export WINEPREFIX=$out/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export LC_ALL=C.UTF-8
unset DISPLAY
trap '"$wineserver" -k >/dev/null 2>&1 || true' EXIT
if [[ ! -d $WINEPREFIX ]]; then
  echo "== Making the Wine prefix"
  "$wine" cmd /c exit >/dev/null 2>&1 || true
fi

echo "== Windows unit tests under Wine"
"$wine" "$unit_tests" --gtest_brief=1
# The regional formats again under users of other regions: Wine takes the
# user's settings from the locale it runs in.
for locale in fi_FI.UTF-8 ko_KR.UTF-8; do
  LC_ALL=$locale "$wine" "$unit_tests" --gtest_brief=1 --gtest_filter='RegionalFormatsTest.*'
done

# --- End-to-end runs of the .exe -----------------------------------------------
echo "== End-to-end mirrors under Wine"
e2e=$out/e2e
rm -rf "$e2e"
mkdir -p "$e2e/bin"
cp "$exe" "$e2e/bin/"
program=$e2e/bin/FernwickTreeSyncer.exe

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}

# The Windows name of a Linux path: drive Z: is the Linux root.
winpath() { printf 'Z:%s' "${1//\//\\}"; }

# Runs the program; its standard output goes to $log, its exit code to $code.
log=$e2e/log.txt
code=0
wine_locale=C.UTF-8 # Wine takes the user's regional settings from it
run() {
  set +e
  LC_ALL=$wine_locale "$wine" "$program" "$@" >"$log" 2>"$e2e/stderr.txt"
  code=$?
  set -e
}

check_code() { # name expected
  if [[ $code == "$2" ]]; then pass; else fail "$1: exit code $code, expected $2"; fi
}

# Every line of the log ends in CR LF, the last one included.
check_crlf() { # name
  if [[ ! -s $log ]]; then
    fail "$1: no output"
  elif [[ $(LC_ALL=C grep -c -v $'\r$' "$log") != 0 || $(tail -c 1 "$log" | od -An -c) != *'\n'* ]]; then
    fail "$1: a line does not end in CR LF"
  else
    pass
  fi
}

# The log stamp: the date with "/", then 24-hour time in two-digit fields
# joined by the time separator of the user's regional settings.
time_separator=":"
stamp_pattern() { printf '^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9]{2}[%s][0-9]{2}[%s][0-9]{2} ' "$time_separator" "$time_separator"; }

# The log's lines after their time stamps are exactly the expected lines.
check_lines() { # name expected-line...
  local name=$1
  shift
  local expected actual
  expected=$(printf '%s\n' "$@")
  actual=$(tr -d '\r' <"$log" | sed -E "s#$(stamp_pattern)##")
  if [[ $actual == "$expected" ]]; then
    pass
  else
    fail "$name: log differs"
    diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | head -20 || true
  fi
}

check_stamps() { # name: every line but the plain ones carries the stamp
  if tr -d '\r' <"$log" | grep -qvE "$(stamp_pattern)"; then
    fail "$1: a line without a time stamp"
  else
    pass
  fi
}

tree_of() { (cd "$1" && find . -mindepth 1 | sort); }

check_tree() { # name folder expected-entry...
  local name=$1 folder=$2
  shift 2
  local actual
  actual=$(tree_of "$folder")
  if [[ $actual == "$(printf '%s\n' "$@" | sort)" ]]; then
    pass
  else
    fail "$name: tree of $folder differs"
    diff <(printf '%s\n' "$@" | sort) <(printf '%s\n' "$actual") | head -20 || true
  fi
}

check() { # name command...
  local name=$1
  shift
  if "$@"; then pass; else fail "$name"; fi
}

log_has() { tr -d '\r' <"$log" | grep -qF -- "$1"; }
log_lacks() { ! log_has "$1"; }
# The log line after the one holding $1 begins, after its stamp, with $2.
line_after_starts() {
  local next
  next=$(tr -d '\r' <"$log" | grep -A1 -F -- "$1" | sed -n 2p | sed -E 's#^[^ ]+ [^ ]+ ##')
  [[ $next == "$2"* ]]
}

# No inventory file stays beside the executable.
check_no_inventories() { # name
  check "$1: no inventory file left" test "$(ls "$e2e/bin")" = FernwickTreeSyncer.exe
}

start_banner="******** FernwickTreeSyncer Start **********************************************"
normal_end="******** FernwickTreeSyncer Normal End *****************************************"
remove_start="-------- Remove Directory And Delete File In MirrorToFolder Start --------------"
remove_end="-------- Remove Directory And Delete File In MirrorToFolder End ----------------"
make_start="-------- Make Directory And Copy File In MirrorToFolder Start ------------------"
make_end="-------- Make Directory And Copy File In MirrorToFolder End --------------------"
notice=(
  "********************************************************************************"
  "* NOTICE!                                                                      *"
  "* FernwickTreeSyncer has been executed in dry run mode.                        *"
  "* This mode will just report action plans without actual mirroring.            *"
  "********************************************************************************"
)
dry_notice=()
for line in "${notice[@]}"; do dry_notice+=("[--dry-run] $line"); done

# Help: the usage text plain, with CR LF, and nothing else.
for help in '/?' -help --help; do
  run "$help"
  check_code "help $help" 0
  expected=$'\r\nUsage: FernwickTreeSyncer[.exe] [switch] [mirror from path] [mirror to path]\r\nswitch:\r\n  -n        : show what would have been transferred\r\n  --dry-run : show what would have been transferred\r\n\r\n'
  check "help $help: usage text" test "$(cat "$log"; printf x)" = "${expected}x"
done
check_no_inventories "help"

# Bad arguments: one plain line, exit code 1.
mkdir -p "$e2e/a" "$e2e/b"
a=$(winpath "$e2e/a")
b=$(winpath "$e2e/b")
bad_cases=(
  ""
  "-n"
  "-HELP"
  "-x|$a|$b"
  "$a|$(winpath "$e2e/missing")"
  "$(winpath "$e2e/missing")|$b"
  "/?|$a|$b"
  "$a|$b|$a|$b"
)
for case in "${bad_cases[@]}"; do
  IFS='|' read -r -a arguments <<<"$case"
  run "${arguments[@]}"
  check_code "bad arguments [$case]" 1
  check "bad arguments [$case]: message" test "$(cat "$log"; printf x)" = $'Invalid Command Line Argument.\r\nx'
done
check_no_inventories "bad arguments"

# The typical run: source holds new\a.txt and same.txt; destination holds
# same.txt with the same time and old.txt.
make_typical() {
  rm -rf "$e2e/typical"
  mkdir -p "$e2e/typical/src/new" "$e2e/typical/dst"
  echo a >"$e2e/typical/src/new/a.txt"
  echo same >"$e2e/typical/src/same.txt"
  cp -p "$e2e/typical/src/same.txt" "$e2e/typical/dst/same.txt"
  echo old >"$e2e/typical/dst/old.txt"
  touch -d '2024-05-01 09:03:06' "$e2e/typical/src/new/a.txt"
}
make_typical
src=$(winpath "$e2e/typical/src")
dst=$(winpath "$e2e/typical/dst")
actions=(
  "$remove_start"
  "Delete File      : $dst\\old.txt"
  "$remove_end"
  "$make_start"
  "Make Directory : $dst\\new"
  "Copy File      : $src\\new\\a.txt -> $dst\\new\\a.txt"
  "$make_end"
)

# A dry run: the same lines, each marked, with the notice before and after;
# nothing changes.
before=$(tree_of "$e2e/typical")
for switch in -n --dry-run; do
  run "$switch" "$src" "$dst"
  check_code "dry run $switch" 0
  check_crlf "dry run $switch"
  check_stamps "dry run $switch"
  marked=()
  for line in "$start_banner" "MirrorFromPath : $src" "MirrorToPath   : $dst" \
    "Get MirrorFromPath Information..." "Get MirrorToPath Information..." \
    "Detect The Difference In These Folders..." "${actions[@]}" "$normal_end"; do
    marked+=("[--dry-run] $line")
  done
  check_lines "dry run $switch" "${dry_notice[@]}" "${marked[@]}" "${dry_notice[@]}"
  check "dry run $switch: nothing changed" test "$(tree_of "$e2e/typical")" = "$before"
done
check_no_inventories "dry run"

run "$src" "$dst\\"
check_code "typical run" 0
check_crlf "typical run"
check_stamps "typical run"
check_lines "typical run" "$start_banner" "MirrorFromPath : $src" "MirrorToPath   : $dst\\" \
  "Get MirrorFromPath Information..." "Get MirrorToPath Information..." \
  "Detect The Difference In These Folders..." \
  "$remove_start" "Delete File      : $dst\\old.txt" "$remove_end" \
  "$make_start" "Make Directory : $dst\\new" \
  "Copy File      : $src\\new\\a.txt -> $dst\\new\\a.txt" "$make_end" "$normal_end"
check_tree "typical run" "$e2e/typical/dst" ./new ./new/a.txt ./same.txt
check "typical run: the copy has the source's time" \
  test "$(stat -c %Y "$e2e/typical/dst/new/a.txt")" = "$(stat -c %Y "$e2e/typical/src/new/a.txt")"
check "typical run: the copy has the source's contents" \
  cmp -s "$e2e/typical/dst/new/a.txt" "$e2e/typical/src/new/a.txt"
check_no_inventories "typical run"

no_difference() { # name src dst
  run "$2" "$3"
  check_code "$1" 0
  check_crlf "$1"
  check_lines "$1" "$start_banner" "MirrorFromPath : $2" "MirrorToPath   : $3" \
    "Get MirrorFromPath Information..." "Get MirrorToPath Information..." \
    "Detect The Difference In These Folders..." "No Difference In These Folders!" "$normal_end"
}
no_difference "second run" "$src" "$dst"
check_no_inventories "second run"

# A folder path with a blank, quoted on the command line.
mkdir -p "$e2e/with blank/src" "$e2e/with blank/dst"
echo x >"$e2e/with blank/src/x.txt"
run "$(winpath "$e2e/with blank/src")" "$(winpath "$e2e/with blank/dst")"
check_code "path with a blank" 0
check_tree "path with a blank" "$e2e/with blank/dst" ./x.txt

# Names that no 8-bit code page holds: Japanese text and an emoji, in the
# roots typed on the command line and in the trees.
japanese=$e2e/日本語
mkdir -p "$japanese/元/フォルダ 😀" "$japanese/先"
echo one >"$japanese/元/絵文字😀.txt"
echo two >"$japanese/元/フォルダ 😀/ファイル.txt"
src=$(winpath "$japanese/元")
dst=$(winpath "$japanese/先")
run "$src" "$dst"
check_code "names outside the code page" 0
check_crlf "names outside the code page"

check "names outside the code page: copy line" \
  log_has "Copy File      : $src\\フォルダ 😀\\ファイル.txt -> $dst\\フォルダ 😀\\ファイル.txt"
check "names outside the code page: make line" log_has "Make Directory : $dst\\フォルダ 😀"
check_tree "names outside the code page" "$japanese/先" "./フォルダ 😀" "./フォルダ 😀/ファイル.txt" \
  "./絵文字😀.txt"
no_difference "names outside the code page, second run" "$src" "$dst"

# A tree deeper than 260 characters mirrors whole.
deep_src=$e2e/deep/src
deep_dst=$e2e/deep/dst
relative=""
for i in 1 2 3 4 5 6 7 8; do relative+="/level-$i-abcdefghijklmnopqrstuvwxyz0123456789"; done
mkdir -p "$deep_src$relative" "$deep_dst"
echo bottom >"$deep_src$relative/bottom.txt"
bottom=$(winpath "$deep_dst$relative/bottom.txt")
check "deep tree: the path is longer than 260 characters" test "${#bottom}" -gt 260
src=$(winpath "$deep_src")
dst=$(winpath "$deep_dst")
run "$src" "$dst"
check_code "deep tree" 0
check "deep tree: bottom file copied" cmp -s "$deep_src$relative/bottom.txt" "$deep_dst$relative/bottom.txt"
check "deep tree: copy line" log_has "Copy File      : $(winpath "$deep_src$relative/bottom.txt") -> $bottom"
check "deep tree: every folder made" test "$(tree_of "$deep_dst" | wc -l)" = 9
no_difference "deep tree, second run" "$src" "$dst"
# And goes again: files deleted and folders removed deepest first.
rm -rf "${deep_src:?}/level-1-abcdefghijklmnopqrstuvwxyz0123456789"
run "$src" "$dst"
check_code "deep tree removed" 0
check_tree "deep tree removed" "$deep_dst"

# A read-only destination file is deleted, a changed read-only one replaced.
ro=$e2e/readonly
mkdir -p "$ro/src" "$ro/dst"
echo new >"$ro/src/changed.txt"
touch -d '2024-05-01 10:00:00' "$ro/src/changed.txt"
echo old >"$ro/dst/changed.txt"
echo extra >"$ro/dst/extra.txt"
touch -d '2020-01-01 00:00:00' "$ro/dst/changed.txt"
chmod 444 "$ro/dst/changed.txt" "$ro/dst/extra.txt"
src=$(winpath "$ro/src")
dst=$(winpath "$ro/dst")
run "$src" "$dst"
check_code "read-only destination" 0
# The two deletes come in the order of the system's listing.
mapfile -t deletes < <(tr -d '\r' <"$log" | grep -oF -e "Delete File      : $dst\\changed.txt" \
  -e "Delete File      : $dst\\extra.txt")
check "read-only destination: both deletes logged" test "${#deletes[@]}" = 2
check_lines "read-only destination" "$start_banner" "MirrorFromPath : $src" "MirrorToPath   : $dst" \
  "Get MirrorFromPath Information..." "Get MirrorToPath Information..." \
  "Detect The Difference In These Folders..." "$remove_start" "${deletes[@]}" "$remove_end" \
  "$make_start" "Copy File      : $src\\changed.txt -> $dst\\changed.txt" "$make_end" "$normal_end"
check_tree "read-only destination" "$ro/dst" ./changed.txt
check "read-only destination: replaced" cmp -s "$ro/src/changed.txt" "$ro/dst/changed.txt"

# A link to a folder in the destination is never entered: it is deleted as
# itself, and what it leads to is never touched. A link to a folder in the
# source is followed: its contents are mirrored as a real folder.
links=$e2e/links
mkdir -p "$links/src" "$links/dst" "$links/outside"
echo keep >"$links/outside/keep.txt"
ln -s "$links/outside" "$links/dst/link"
ln -s "$links/outside" "$links/src/via-link"
src=$(winpath "$links/src")
dst=$(winpath "$links/dst")
run "$src" "$dst"
delete_link="Delete File      : $dst\\link"
check "folder link in the destination: deleted as a file" log_has "$delete_link"
check "folder link in the destination: never entered" log_lacks "$dst\\link\\"
check "folder link in the destination: target untouched" test "$(cat "$links/outside/keep.txt")" = keep
check "folder link in the source: followed" cmp -s "$links/outside/keep.txt" "$links/dst/via-link/keep.txt"
check "folder link in the source: made a real folder" test -d "$links/dst/via-link" -a ! -L "$links/dst/via-link"
if [[ -L $links/dst/link ]]; then
  # Wine sees a Linux link to a folder as the folder itself and will not
  # remove it while that folder holds files; Windows removes the link.
  echo "note: Wine kept the Linux folder link; the failure is reported as such"
  check "folder link kept by Wine: failure line" line_after_starts "$delete_link" "Action Failed    : "
  check_code "folder link kept by Wine" 3
else
  check_code "folder link in the destination" 0
  check_tree "folder link in the destination" "$links/dst" ./via-link ./via-link/keep.txt
fi

# A user whose regional settings join hours, minutes and seconds with "."
# gets that in the log stamp; the mirror works the same.
wine_locale=fi_FI.UTF-8
time_separator="."
make_typical
src=$(winpath "$e2e/typical/src")
dst=$(winpath "$e2e/typical/dst")
run "$src" "$dst"
check_code "regional time separator" 0
check_crlf "regional time separator"
check_stamps "regional time separator"
check_lines "regional time separator" "$start_banner" "MirrorFromPath : $src" "MirrorToPath   : $dst" \
  "Get MirrorFromPath Information..." "Get MirrorToPath Information..." \
  "Detect The Difference In These Folders..." "${actions[@]}" "$normal_end"
check_tree "regional time separator" "$e2e/typical/dst" ./new ./new/a.txt ./same.txt
no_difference "regional time separator, second run" "$src" "$dst"
wine_locale=C.UTF-8
time_separator=":"

check_no_inventories "all runs"
echo "Windows part took $((SECONDS - started)) s"
echo "$passed passed, $failed failed"
((failed == 0))
