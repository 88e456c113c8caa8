#!/usr/bin/env bash
# Times FernwickTreeSyncer --jobs=N and --jobs=auto on a slow disk
# (fts_slow_fs, a FUSE file system that waits before every call) and on the
# local disk, beside cp -a for first copies. See bench/README.md.
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
preset=10k
rounds=3
delay_ms=2
jobs_list=1,4,8,16,auto
disks=slow,local
seed=1
build_dir=$repo/build-rel
work=${TMPDIR:-/tmp}/fts-jobs
out=
install=yes
keep=no
settle=auto

usage() {
  cat <<EOF
usage: bench/jobs.sh [options]
  --preset NAME     tree of bench/fts_treegen: tiny, 10k, 100k or 1m (default: $preset)
  --rounds N        timed rounds (default: $rounds)
  --delay-ms D      wait of the slow disk before every call (default: $delay_ms)
  --jobs LIST       comma-separated --jobs values; cp times cp -a for first copies
                    (default: $jobs_list)
  --disks LIST      slow, local or both (default: $disks)
  --seed N          seed of the generated trees (default: $seed)
  --build-dir DIR   Release build to use or make (default: build-rel)
  --work DIR        where the trees go (default: \$TMPDIR/fts-jobs or /tmp/fts-jobs)
  --out FILE        also write the report there (default: WORK/jobs-PRESET-DELAYms-TIME.md)
  --settle S        wait S seconds before timing (default: auto, see bench/README.md)
  --keep            keep the used destinations in WORK/run-*
  --no-install      do not install libfuse3-dev, fuse3 or pkg-config
EOF
}
while (($#)); do
  case $1 in
    --preset) preset=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --delay-ms) delay_ms=$2; shift 2 ;;
    --jobs) jobs_list=$2; shift 2 ;;
    --disks) disks=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --keep) keep=yes; shift ;;
    --no-install) install=no; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "jobs.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "jobs.sh: --rounds wants a positive number" >&2; exit 2; }
IFS=, read -r -a jobs_values <<<"$jobs_list"
say() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }

# ---------------------------------------------------------------- tools
apt_install() {
  [[ $install == yes ]] && command -v apt-get >/dev/null || return 1
  say "installing $*"
  export DEBIAN_FRONTEND=noninteractive
  timeout 300 apt-get install -y -qq "$@" >/dev/null 2>&1 && return 0
  timeout 300 apt-get update -qq >/dev/null 2>&1 || true
  timeout 300 apt-get install -y -qq "$@" >/dev/null 2>&1
}
missing=()
command -v pkg-config >/dev/null || missing+=(pkg-config)
command -v fusermount3 >/dev/null || missing+=(fuse3)
pkg-config --exists fuse3 2>/dev/null || missing+=(libfuse3-dev)
((${#missing[@]} == 0)) || apt_install "${missing[@]}" ||
  { echo "jobs.sh: could not install ${missing[*]}" >&2; exit 2; }
[[ -e /dev/fuse ]] || { echo "jobs.sh: no /dev/fuse on this machine" >&2; exit 2; }

say "building in $build_dir (Release)"
cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" --target FernwickTreeSyncer fts_treegen fts_slow_fs >/dev/null
binary=$build_dir/FernwickTreeSyncer
treegen=$build_dir/bench/fts_treegen
slow_fs=$build_dir/bench/fts_slow_fs

# ---------------------------------------------------------------- trees
mkdir -p "$work"
work=$(realpath "$work")
run_dir=$work/run-$(date +%Y%m%d-%H%M%S)-$$
mnt=$run_dir/mnt          # the slow disk
backing=$run_dir/backing  # what it shows, read directly by the checks
local_dir=$run_dir/local  # the same destinations on the local disk
mkdir -p "$mnt" "$backing" "$local_dir" "$run_dir/logs"
[[ -n $out ]] || out=$work/jobs-$preset-${delay_ms}ms-$(date +%Y%m%d-%H%M%S).md
src=$work/src-$preset-s$seed
srcx=$src-changed
for tree in "$src" "$srcx"; do
  [[ ! -f $tree.ok ]] || continue
  rm -rf "$tree"  # a leftover of a stopped generation: small
  say "generating $tree"
  "$treegen" generate "$preset" "$tree" --seed "$seed" >&2
  [[ $tree == "$src" ]] || "$treegen" change "$preset" "$tree" --seed "$seed" >&2
  touch "$tree.ok"
done

# A tree's listing (folders by name; files by name, type, mode, size and
# time to the nanosecond) and a checksum over all its files' contents.
fingerprint() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf '%P/ d\n' \) -o -printf '%P %y %m %s %T@\n' |
    sort && find . -type f -print0 | sort -z | xargs -0 -r md5sum) | md5sum | cut -d' ' -f1
}
expected_first=$(fingerprint "$src")
expected_changed=$(fingerprint "$srcx")

tree_kib=$(du -sk "$src" | cut -f1)
# One destination per round, value and disk: the 1 % changed tree goes into
# the first copy's.
disk_count=$(tr ',' '\n' <<<"$disks" | grep -c .)
need_kib=$((tree_kib * disk_count * rounds * ${#jobs_values[@]}))
free_kib=$(df -k --output=avail "$work" | tail -1)
if ((need_kib > free_kib)); then
  echo "jobs.sh: needs about $((need_kib / 1024)) MiB in $work, $((free_kib / 1024)) MiB are free" >&2
  exit 2
fi

# ---------------------------------------------------------------- mount, clean-up
fs_pid=
tool_pid=
cleanup() {
  if [[ -n $tool_pid ]]; then kill "$tool_pid" 2>/dev/null || true; wait "$tool_pid" || true; fi
  if mountpoint -q "$mnt"; then fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -u -z "$mnt" || true; fi
  if [[ -n $fs_pid ]]; then
    for _ in {1..50}; do kill -0 "$fs_pid" 2>/dev/null || break; sleep 0.1; done
    kill "$fs_pid" 2>/dev/null || true
  fi
  if [[ $keep == yes ]]; then
    say "used destinations kept in $run_dir"
  else
    say "deleting the used destinations"
    deleted=$(find "$run_dir" -xdev | wc -l)
    rm -rf "$run_dir"
    # Deleting this many files slows file creation for minutes (see README).
    ((deleted < 50000)) || date +%s >"$work/.last-large-deletion"
  fi
}
trap cleanup EXIT
trap "exit 130" INT TERM
"$slow_fs" --root "$backing" --delay-ms "$delay_ms" "$mnt" -f 2>"$run_dir/logs/slow_fs.log" &
fs_pid=$!
for _ in {1..100}; do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || { echo "jobs.sh: fts_slow_fs did not mount:" >&2; cat "$run_dir/logs/slow_fs.log" >&2; exit 1; }

stamp=$work/.last-large-deletion
if [[ $settle == auto ]]; then
  settle=0
  [[ ! -f $stamp ]] || settle=$((360 - ($(date +%s) - $(cat "$stamp"))))
  ((settle > 0)) || settle=0
fi
if ((settle > 0)); then
  say "waiting ${settle}s for the file system to settle after a large deletion"
  sleep "$settle"
fi

# ---------------------------------------------------------------- timing
results=$run_dir/results.tsv
failures=()
# One timed run of the program: its source in the cache and nothing left to
# write back, then checks its exit, its log and the mirror it made.
run() {
  local disk=$1 scenario=$2 jobs=$3 round=$4 from=$5 dst=$6 check=$7 expected=$8
  local log=$run_dir/logs/$disk-$scenario-j$jobs-r$round.log t0 t1 status=0
  find "$from" -type f -print0 | xargs -0 -r cat -- >/dev/null
  sync
  # The kernel keeps what the slow disk told for 1 s: a re-sync starts
  # without any of it, as one some time later would.
  [[ $disk == local ]] || sleep 1.5
  t0=$EPOCHREALTIME
  # In the background, so that a signal to the script stops it at once.
  if [[ $jobs == cp ]]; then
    rmdir "$dst" && cp -a "$from" "$dst" >"$log" 2>&1 && echo "Normal End" >>"$log" &
  else
    "$binary" "--jobs=$jobs" --stats "$from" "$dst" >"$log" 2>&1 &
  fi
  tool_pid=$!
  wait "$tool_pid" || status=$?
  tool_pid=
  t1=$EPOCHREALTIME
  local secs load workers
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  load=$(cut -d' ' -f1 /proc/loadavg)
  # The counts the steps ran on: deletions, removals, folders made, copies.
  workers=$(sed -n 's/.*Workers *: Delete File \([0-9]*\), Remove Directory \([0-9]*\), Make Directory \([0-9]*\), Copy File \([0-9]*\).*/\1\/\2\/\3\/\4/p' "$log")
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$disk" "$scenario" "$jobs" "$round" "$secs" "$load" \
    "${workers:--}" >>"$results"
  say "  $disk $scenario --jobs=$jobs round $round: ${secs}s (load $load, workers ${workers:--})"
  local what="$disk, $scenario, --jobs=$jobs, round $round"
  ((status == 0)) || failures+=("$what: exit status $status (log: $log)")
  grep -q "Normal End" "$log" || failures+=("$what: no normal end in $log")
  [[ $(fingerprint "$check") == "$expected" ]] || failures+=("$what: $check is not a mirror of $from")
}

say "preset $preset, $rounds rounds, --jobs $jobs_list, ${delay_ms} ms per call, work in $run_dir"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
for round in $(seq 1 "$rounds"); do
  # The --jobs values take turns at running first.
  n=${#jobs_values[@]}
  for ((i = 0; i < n; i++)); do
    jobs=${jobs_values[(i + round - 1) % n]}
    name=r$round-j$jobs
    # The first copy into an empty folder, then the 1 % changed tree into it.
    mkdir "$mnt/$name" "$local_dir/$name"
    if [[ ,$disks, == *,slow,* ]]; then
      run slow first "$jobs" "$round" "$src" "$mnt/$name" "$backing/$name" "$expected_first"
      [[ $jobs == cp ]] ||
        run slow changed "$jobs" "$round" "$srcx" "$mnt/$name" "$backing/$name" "$expected_changed"
    fi
    if [[ ,$disks, == *,local,* ]]; then
      run local first "$jobs" "$round" "$src" "$local_dir/$name" "$local_dir/$name" "$expected_first"
      [[ $jobs == cp ]] ||
        run local changed "$jobs" "$round" "$srcx" "$local_dir/$name" "$local_dir/$name" "$expected_changed"
    fi
  done
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- report
# "median (min–max)" of the runs of one disk, scenario and --jobs value.
cell() {
  awk -F'\t' -v d="$1" -v s="$2" -v j="$3" '$1 == d && $2 == s && $3 == j { print $5 }' "$results" |
    sort -g | awk '{ v[NR] = $1 } END {
      m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
      if (NR) printf "%.2f (%.2f–%.2f)", m, v[1], v[NR]; else printf "–" }'
}
# The worker counts (deletions/removals/folders made/copies) of each run.
counts() {
  awk -F'\t' -v d="$1" -v s="$2" -v j="$3" '$1 == d && $2 == s && $3 == j { print $7 }' "$results" |
    paste -sd' '
}
log_of() { ls "$run_dir"/logs/*-"$1"-j"${jobs_values[0]}"-r1.log | head -1; }
actions() {
  printf '%s copies, %s deletions, %s folders made, %s removed' \
    "$(grep -c 'Copy File *:' "$1" || true)" "$(grep -c 'Delete File *:' "$1" || true)" \
    "$(grep -c 'Make Directory *:' "$1" || true)" "$(grep -c 'Remove Directory *:' "$1" || true)"
}
report() {
  echo "### --jobs: preset $preset, disks $disks (slow: ${delay_ms} ms per call), $rounds rounds"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)"
  echo "- machine: $(nproc) cores, kernel $(uname -r), $(findmnt -no FSTYPE -T "$work") at $work"
  echo "- load average (1, 5, 15 min): $load_start at the start, $load_end at the end"
  echo "- first copy: $(actions "$(log_of first)"); 1 % changed: $(actions "$(log_of changed)")"
  echo
  echo "Wall seconds, median (fastest–slowest) of $rounds runs:"
  echo
  echo "| --jobs | slow: first copy | slow: 1 % changed | local: first copy | local: 1 % changed |"
  echo "| ---: | ---: | ---: | ---: | ---: |"
  for jobs in "${jobs_values[@]}"; do
    echo "| $jobs | $(cell slow first "$jobs") | $(cell slow changed "$jobs") |" \
      "$(cell local first "$jobs") | $(cell local changed "$jobs") |"
  done
  echo
  echo "Workers each run's steps ran on (deletions/folders removed/folders made/copies):"
  echo
  echo "| --jobs | slow: first copy | slow: 1 % changed | local: first copy | local: 1 % changed |"
  echo "| ---: | --- | --- | --- | --- |"
  for jobs in "${jobs_values[@]}"; do
    [[ $jobs != cp ]] || continue
    echo "| $jobs | $(counts slow first "$jobs") | $(counts slow changed "$jobs") |" \
      "$(counts local first "$jobs") | $(counts local changed "$jobs") |"
  done
  echo
  if ((${#failures[@]})); then
    echo "**Checks failed:**"
    printf -- '- %s\n' "${failures[@]}"
  else
    echo "Every run ended normally and every destination was checked: all mirrors complete."
  fi
}
report | tee "$out"
cp "$results" "${out%.md}.tsv"
say "report written to $out"
((${#failures[@]} == 0))
