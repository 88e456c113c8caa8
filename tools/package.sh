#!/usr/bin/env bash
# Makes the packages and checks them the way a user gets them:
#
#   tools/package.sh [--windows]
#
# - checks the manual page (doc/FernwickTreeSyncer.1) with groff and man;
# - builds the release program (tools/build.sh) and makes the Debian package
#   with CPack: build/fernwicktreesyncer_<version>_<arch>.deb;
# - with --windows, also the Windows ZIP from the Windows build that
#   tools/test-windows.sh makes (that script runs first when there is no such
#   build yet): build-windows/fts/FernwickTreeSyncer-<version>-win64.zip, and
#   runs the zipped program under Wine;
# - installs the package on this machine (dpkg -i; it stays installed), runs
#   the installed program (--version, a small mirror that must leave /usr/bin
#   alone), finds its manual page with man -w, checks the installed systemd
#   units with systemd-analyze verify and the bash completion in bash, and
#   runs lintian on the package: any error fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS

windows=false
while (($#)); do
  case $1 in
    --windows) windows=true; shift ;;
    -h | --help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "unknown argument: $1" >&2; exit 2 ;;
  esac
done

# Two build jobs at most: the build machines are shared.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

sudo_cmd=()
[[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

# dpkg-dev and file for CPack's dependency list (dpkg-shlibdeps), man-db and
# groff-base for the manual page, lintian for the package check, systemd for
# systemd-analyze and bash-completion for the completion's helpers.
tools/install-deps.sh cmake ninja-build g++ dpkg-dev file man-db groff-base lintian systemd \
  bash-completion

# --- The manual page ---------------------------------------------------------------
echo "== Checking the manual page"
page=doc/FernwickTreeSyncer.1
warnings=$(groff -ww -z -man "$page" 2>&1)
[[ -z $warnings ]] || fail "groff warns about $page:"$'\n'"$warnings"
warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
[[ -z $warnings ]] || fail "man warns about $page:"$'\n'"$warnings"

# --- The Debian package ------------------------------------------------------------
echo "== Building the release program"
tools/build.sh
version=$(build/FernwickTreeSyncer --version)
version=${version#FernwickTreeSyncer }
changelog_version=$(dpkg-parsechangelog -l packaging/changelog -S Version)
[[ $changelog_version == "$version" ]] ||
  fail "packaging/changelog begins with $changelog_version, the program is $version: add an entry"

echo "== Making the Debian package"
rm -f build/fernwicktreesyncer_*.deb
(cd build && cpack -G DEB >/dev/null)
deb=$root/build/fernwicktreesyncer_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || fail "CPack made no $deb"
echo "   $deb"

# --- The Windows ZIP ---------------------------------------------------------------
if $windows; then
  echo "== Making the Windows ZIP"
  out=$root/build-windows
  if [[ -f $out/fts/CMakeCache.txt ]]; then
    cmake --build "$out/fts" -j 2 --target FernwickTreeSyncer
  else
    tools/test-windows.sh
  fi
  rm -f "$out"/fts/FernwickTreeSyncer-*.zip
  (cd "$out/fts" && cpack -G ZIP >/dev/null)
  zip=$out/fts/FernwickTreeSyncer-$version-win64.zip
  [[ -f $zip ]] || fail "CPack made no $zip"
  echo "   $zip"
  listed=$(cmake -E tar tf "$zip" | sort)
  wanted=$(printf "FernwickTreeSyncer-$version-win64/%s\n" FernwickTreeSyncer.exe LICENSE.txt \
    README.md | sort)
  [[ $listed == "$wanted" ]] || fail "the ZIP holds"$'\n'"$listed"$'\n'"instead of"$'\n'"$wanted"
  unpacked=$(mktemp -d)
  (cd "$unpacked" && cmake -E tar xf "$zip")
  wine_env=(env -u DISPLAY WINEPREFIX="$out/wineprefix" WINEDEBUG=-all
    WINEDLLOVERRIDES="mscoree,mshtml=")
  said=$("${wine_env[@]}" /usr/lib/wine/wine64 \
    "$unpacked/FernwickTreeSyncer-$version-win64/FernwickTreeSyncer.exe" --version | tr -d '\r')
  "${wine_env[@]}" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$unpacked"
  [[ $said == "FernwickTreeSyncer $version" ]] || fail "the zipped program says: $said"
  echo "   the zipped FernwickTreeSyncer.exe runs under Wine: $said"
fi

# --- The package, installed ----------------------------------------------------------
echo "== Installing the package"
"${sudo_cmd[@]}" dpkg -i "$deb" >/dev/null
program=/usr/bin/FernwickTreeSyncer
echo "\$ FernwickTreeSyncer --version"
said=$("$program" --version)
echo "$said"
[[ $said == "FernwickTreeSyncer $version" ]] || fail "the installed program says: $said"
echo "\$ man -w FernwickTreeSyncer"
found=$(man -aw FernwickTreeSyncer) || true
echo "$found"
grep -qx /usr/share/man/man1/FernwickTreeSyncer.1.gz <<<"$found" ||
  fail "man does not find /usr/share/man/man1/FernwickTreeSyncer.1.gz"

echo "== A mirror with the installed program"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/source/folder" "$work/destination"
echo "mirrored by the installed package" >"$work/source/folder/file.txt"
status=0
"$program" "$work/source" "$work/destination" >"$work/log" || status=$?
cat "$work/log"
((status == 0)) || fail "the mirror ended with exit code $status"
cmp "$work/source/folder/file.txt" "$work/destination/folder/file.txt" ||
  fail "the file was not copied"
status=0
"$program" "$work/source" "$work/destination" >"$work/log" || status=$?
((status == 0)) && grep -q "No Difference In These Folders!" "$work/log" ||
  fail "the second run found a difference (exit code $status)"
echo "   the second run finds no difference"
# Installed, the program keeps its inventories in the temporary folder even
# as root: it takes over the leftover planted there, and /usr/bin is not
# written (its time would change with a file made and deleted there).
mkdir "$work/tmp"
: >"$work/tmp/tmp_CopyFromPath.txt"
before=$(stat -c %y /usr/bin)
status=0
TMPDIR=$work/tmp "$program" "$work/source" "$work/destination" >"$work/log" || status=$?
((status == 0)) || fail "the run with TMPDIR=$work/tmp ended with exit code $status"
[[ ! -e $work/tmp/tmp_CopyFromPath.txt && $(stat -c %y /usr/bin) == "$before" ]] ||
  fail "the installed program did not keep its inventories in \$TMPDIR"
echo "   the inventories went to \$TMPDIR, /usr/bin is unchanged"

echo "== The systemd units and the bash completion, installed"
units=$(dpkg -L fernwicktreesyncer | grep '/lib/systemd/system/.' | sort)
echo "$units" | sed 's/^/   /'
[[ $(wc -l <<<"$units") -eq 3 ]] || fail "the package installs no three systemd units"
status=0
(cd / && systemd-analyze verify $units fernwicktreesyncer@projects.service \
  fernwicktreesyncer-watch@projects.service) >"$work/verify" 2>&1 || status=$?
sed 's/^/   /' "$work/verify"
((status == 0)) && ! grep -q fernwicktreesyncer "$work/verify" ||
  fail "systemd-analyze verify finds fault with the installed units (exit code $status)"
echo "   systemd-analyze verify: no findings"
completion=/usr/share/bash-completion/completions/FernwickTreeSyncer
said=$(bash -c "source /usr/share/bash-completion/bash_completion && source $completion &&
  complete -p FernwickTreeSyncer") || fail "bash cannot load $completion"
echo "   $said"
[[ -f /usr/share/doc/fernwicktreesyncer/examples/example.conf ]] ||
  fail "the package installs no example.conf"

# --- lintian -------------------------------------------------------------------------
echo "== lintian"
# Errors fail the script; warnings and notes are shown.
status=0
lintian --fail-on error --display-info "$deb" >"$work/lintian" 2>&1 || status=$?
grep -v "^running with root privileges" "$work/lintian" || true
((status == 0)) || fail "lintian reports errors on $deb (exit code $status)"
echo "   no errors"

echo "Packaging took $((SECONDS - started)) s"
