#!/usr/bin/env bash
# Times the first copy of a large sparse file by FernwickTreeSyncer against
# cp -a (and rsync -a --sparse), and checks every copy: contents, size, time
# and the disk it uses. See bench/README.md.
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/timed_run.sh
source "$repo/bench/timed_run.sh"

rounds=5
size_gib=4
extents=10
extent_mib=1
build_dir=$repo/build-rel
binary=
work=${TMPDIR:-/tmp}/fts-sparse
out=
settle=0
keep=no
with_rsync=yes

usage() {
  cat <<EOF
usage: bench/sparse.sh [options]
  --rounds N          timed rounds (default: $rounds)
  --size-gib G        length of the sparse file in GiB (default: $size_gib)
  --extents N         data extents spread over it (default: $extents)
  --extent-mib M      length of each extent in MiB (default: $extent_mib)
  --build-dir DIR     Release build to use, made when missing (default: build-rel)
  --binary PATH       FernwickTreeSyncer to time (default: BUILD-DIR/FernwickTreeSyncer)
  --work DIR          where the files go (default: \$TMPDIR/fts-sparse or /tmp/fts-sparse)
  --out FILE          also write the report there (default: WORK/sparse-TIME.md)
  --settle SECONDS    wait this long before timing (default: $settle)
  --no-rsync          leave rsync out
  --keep              keep the copies (in WORK/run-*)
EOF
}

while (($#)); do
  case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --size-gib) size_gib=$2; shift 2 ;;
    --extents) extents=$2; shift 2 ;;
    --extent-mib) extent_mib=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --binary) binary=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --no-rsync) with_rsync=no; shift ;;
    --keep) keep=yes; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "sparse.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
for n in "$rounds" "$size_gib" "$extents" "$extent_mib"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "sparse.sh: counts and sizes are positive numbers" >&2; exit 2; }
done
((extents * extent_mib <= size_gib * 1024)) || { echo "sparse.sh: the extents do not fit" >&2; exit 2; }

say() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }

if [[ -z $binary ]]; then
  binary=$build_dir/FernwickTreeSyncer
  if [[ ! -x $binary ]]; then
    say "building FernwickTreeSyncer (Release) in $build_dir"
    cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build_dir" --target FernwickTreeSyncer >/dev/null
  fi
fi
binary=$(realpath "$binary")
have_time=no
/usr/bin/time -f '%e %M' true >/dev/null 2>&1 && have_time=yes
command -v rsync >/dev/null || with_rsync=no

# ---------------------------------------------------------------- the file
# SIZE GiB long; extent i (of N, each M MiB of cheap pseudo-random bytes) at
# i * SIZE / N, the last one ending the file; everything else is a hole.
mkdir -p "$work"
work=$(realpath "$work")
src=$work/src-${size_gib}g-${extents}x${extent_mib}m
name=sparse.bin
file_mib=$((size_gib * 1024))
offset_mib() { # extent $1 of 0..extents-1
  local at=$(($1 * file_mib / extents))
  ((at + extent_mib <= file_mib)) || at=$((file_mib - extent_mib))
  echo "$at"
}
stamp="$size_gib $extents $extent_mib"
if [[ -f $src/$name && -f $src.ok && $(cat "$src.ok") == "$stamp" ]]; then
  say "reusing $src"
else
  say "writing $src/$name"
  rm -rf "$src" "$src.ok"
  mkdir -p "$src"
  truncate -s "${size_gib}G" "$src/$name"
  for ((i = 0; i < extents; i++)); do
    # Bytes that no file system compresses or finds to be zeros.
    head -c $((extent_mib << 20)) /dev/urandom |
      dd of="$src/$name" bs=1M seek="$(offset_mib "$i")" conv=notrunc status=none
  done
  touch -d '2020-02-02 12:34:56.123456789' "$src/$name"
  sync
  echo "$stamp" >"$src.ok"
fi
src_kib=$(du -k "$src/$name" | cut -f1)
src_bytes=$(stat -c %s "$src/$name")
src_time=$(stat -c %Y.%y "$src/$name")

run_dir=$work/run-$(date +%Y%m%d-%H%M%S)-$$
mkdir -p "$run_dir/logs"
results=$run_dir/results.tsv
: >"$results"
[[ -n $out ]] || out=$work/sparse-$(date +%Y%m%d-%H%M%S).md
failures=()
fail() {
  say "FAILED: $*"
  failures+=("$*")
}

if ((settle > 0)); then
  say "waiting ${settle}s before timing"
  sleep "$settle"
fi

# ---------------------------------------------------------------- timing
# The source's data in the cache, nothing pending to be written.
warm() {
  for ((i = 0; i < extents; i++)); do
    dd if="$src/$name" of=/dev/null bs=1M skip="$(offset_mib "$i")" count="$extent_mib" status=none
  done
  sync
}

measure() {
  local tool=$1 round=$2 log=$3 secs kib load user sys
  shift 3
  timed_run "$log" "$@"
  last_secs=$secs
  last_line="$round	$tool	$secs	${kib:-NA}	$load	${user:-NA}	${sys:-NA}"
  say "  round $round: $tool ${secs}s ${kib:-NA} KiB, CPU ${user:-NA}s user ${sys:-NA}s system, load $load"
}

# The copy must have the source's length, time and bytes, and may not use
# more of the disk than the source; its disk use goes into the results.
check_copy() {
  local tool=$1 round=$2 copy=$3/$name kib
  if [[ ! -f $copy ]]; then
    fail "$tool, round $round: no $copy"
    echo "$last_line	NA" >>"$results"
    return
  fi
  kib=$(du -k "$copy" | cut -f1)
  echo "$last_line	$kib" >>"$results"
  [[ $(stat -c %s "$copy") == "$src_bytes" ]] || fail "$tool, round $round: the copy's length differs"
  [[ $(stat -c %Y.%y "$copy") == "$src_time" ]] || fail "$tool, round $round: the copy's time differs"
  cmp -s "$src/$name" "$copy" || fail "$tool, round $round: the copy's contents differ"
  ((kib <= src_kib)) || say "  $tool, round $round: the copy uses $kib KiB of disk, the source $src_kib KiB"
}

tools=(fts cp)
[[ $with_rsync == no ]] || tools+=(rsync)
rotated() {
  local round=$1
  shift
  local list=("$@") i n=$#
  for ((i = 0; i < n; i++)); do echo "${list[(i + round - 1) % n]}"; done
}

say "$size_gib GiB with $extents extents of $extent_mib MiB, $rounds rounds, work in $run_dir"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
logs=$run_dir/logs
for round in $(seq 1 "$rounds"); do
  for tool in $(rotated "$round" "${tools[@]}"); do
    dst=$run_dir/r$round-$tool
    warm
    case $tool in
      fts)
        mkdir "$dst"
        measure fts "$round" "$logs/fts.log" "$binary" "$src" "$dst"
        ((run_status == 0)) || fail "FernwickTreeSyncer, round $round: exit status $run_status"
        grep -q "Normal End" "$logs/fts.log" || fail "FernwickTreeSyncer, round $round: no normal end"
        ;;
      cp)
        measure cp "$round" "$logs/cp.log" cp -a "$src" "$dst"
        ((run_status == 0)) || fail "cp, round $round: exit status $run_status"
        ;;
      rsync)
        mkdir "$dst"
        measure rsync "$round" "$logs/rsync.log" rsync -a --sparse --delete "$src/" "$dst/"
        ((run_status == 0)) || fail "rsync, round $round: exit status $run_status"
        ;;
    esac
    check_copy "$tool" "$round" "$dst"
    [[ $keep == yes ]] || rm -rf "$dst"
  done
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- report
column_of() { awk -F'\t' -v t="$1" -v c="$2" '$2 == t && $c != "NA" { print $c }' "$results"; }
ratio() {
  awk -F'\t' -v a="$1" -v b="$2" '
    $2 == a { x[$1] = $3 } $2 == b { y[$1] = $3 }
    END { for (r in x) if ((r in y) && y[r] > 0) print x[r] / y[r] }' "$results" | median |
    awk '{ if ($1 == "NA") print "–"; else printf "%.2f\n", $1 }'
}
seconds() { awk '{ if ($1 == "NA") print "–"; else printf "%.3f\n", $1 }'; }
tool_title() {
  case $1 in
    fts) echo "FernwickTreeSyncer SRC DST" ;;
    cp) echo "cp -a SRC DST" ;;
    rsync) echo "rsync -a --sparse --delete" ;;
  esac
}

commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [[ -n $(git -C "$repo" status --porcelain -- src CMakeLists.txt 2>/dev/null) ]]; then
  commit+=" (with uncommitted changes in src/)"
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$(dirname "$binary")/CMakeCache.txt" 2>/dev/null || true)
fs_type=$(findmnt -no FSTYPE -T "$work" 2>/dev/null || stat -f -c %T "$work")
report() {
  echo "### A sparse file of $size_gib GiB with $extents extents of $extent_mib MiB, $rounds rounds"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $commit; ${build_type:-unknown} build"
  echo "- machine: $(nproc) cores, kernel $(uname -r), $fs_type at $work"
  echo "- load average (1, 5, 15 min): $load_start at the start, $load_end at the end"
  echo "- source: $src_bytes bytes, $src_kib KiB on the disk (du)"
  echo
  echo "| tool | median s | min–max s | peak RSS MiB | disk use of the copy KiB | × cp |"
  echo "| --- | ---: | ---: | ---: | ---: | ---: |"
  local tool med lo hi rss du vs_cp
  for tool in "${tools[@]}"; do
    med=$(column_of "$tool" 3 | median | seconds)
    lo=$(column_of "$tool" 3 | sort -g | sed -n 1p | seconds)
    hi=$(column_of "$tool" 3 | sort -g | tail -1 | seconds)
    rss=$(column_of "$tool" 4 | median | awk '{ if ($1 == "NA") print "–"; else printf "%.1f\n", $1 / 1024 }')
    du=$(column_of "$tool" 8 | median)
    vs_cp="–"
    [[ $tool == cp ]] || vs_cp=$(ratio "$tool" cp)
    echo "| $(tool_title "$tool") | $med | $lo–$hi | $rss | $du | $vs_cp |"
  done
  echo
  echo "Ratios are medians of the per-round ratios; the disk use is the median of the rounds."
  if ((${#failures[@]})); then
    echo
    echo "**Checks failed:**"
    local note
    for note in "${failures[@]}"; do echo "- $note"; done
  else
    echo "Every copy had the source's length, time and bytes (cmp)."
  fi
}
report | tee "$out"
cp "$results" "${out%.md}.tsv"
say "report written to $out"
[[ $keep == yes ]] || rm -rf "$run_dir"
((${#failures[@]} == 0))
