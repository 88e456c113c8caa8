#!/usr/bin/env bash
# Measures the continuous mode (--watch) on a generated tree: how long after
# the quiet delay a single edit reaches the destination, the CPU time the
# waiting process takes, its memory, and whether a burst of changes ends in
# an exact mirror. See bench/README.md.
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/timed_run.sh
source "$repo/bench/timed_run.sh"

preset=1m
seed=1
delay=2
edits=20
idle_seconds=600
burst=200000
full_runs=3
watcher=inotify
build_dir=$repo/build-rel
binary=
treegen=
work=${TMPDIR:-/tmp}/fts-watch
out=
settle=auto
keep=no
commit_label=

usage() {
  cat <<EOF
usage: bench/watch.sh [options]
  --preset NAME        tiny, 10k, 100k or 1m (default: $preset)
  --seed N             seed of the generated tree and of the random picks (default: $seed)
  --delay S            --watch-delay of the watching program, seconds (default: $delay)
  --edits N            single edits timed one at a time (default: $edits)
  --idle-seconds S     how long the CPU time is taken without changes (default: $idle_seconds)
  --burst N            file changes of the burst, 0 for none (default: $burst)
  --full-runs N        one-shot no-change runs timed for comparison (default: $full_runs)
  --watcher W          inotify (a watch per folder), fanotify (as root, one mark on the
                       source's file system) or default (what the program chooses:
                       inotify where the watch limit allows) (default: $watcher)
  --build-dir DIR      Release build to use, made when missing (default: build-rel)
  --binary PATH        FernwickTreeSyncer to measure (default: BUILD-DIR/FernwickTreeSyncer)
  --treegen PATH       tree generator (default: BUILD-DIR/bench/fts_treegen)
  --work DIR           where the trees go (default: \$TMPDIR/fts-watch or /tmp/fts-watch)
  --out FILE           also write the report there (default: WORK/watch-PRESET-TIME.md)
  --settle SECONDS     wait this long before starting (default: auto, which waits
                       until 6 minutes after the last large deletion in WORK, or
                       6 minutes after deleting a large leftover of a stopped run)
  --commit TEXT        commit to name in the report (default: HEAD)
  --keep               keep the trees and logs (in WORK/run-*)
EOF
}

while (($#)); do
  case $1 in
    --preset) preset=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --delay) delay=$2; shift 2 ;;
    --edits) edits=$2; shift 2 ;;
    --idle-seconds) idle_seconds=$2; shift 2 ;;
    --burst) burst=$2; shift 2 ;;
    --full-runs) full_runs=$2; shift 2 ;;
    --watcher) watcher=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --binary) binary=$2; shift 2 ;;
    --treegen) treegen=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --commit) commit_label=$2; shift 2 ;;
    --keep) keep=yes; shift ;;
    -h | --help) usage; exit 0 ;;
    *) echo "watch.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
for n in edits idle_seconds burst full_runs seed; do
  [[ ${!n} =~ ^[0-9]+$ ]] || { echo "watch.sh: --${n//_/-} wants a whole number" >&2; exit 2; }
done
[[ $delay =~ ^[0-9]+(\.[0-9]{1,3})?$ ]] || { echo "watch.sh: --delay wants seconds, such as 2 or 0.5" >&2; exit 2; }
((full_runs >= 1)) || { echo "watch.sh: --full-runs wants at least 1" >&2; exit 2; }
[[ $watcher == inotify || $watcher == fanotify || $watcher == default ]] ||
  { echo "watch.sh: --watcher wants inotify, fanotify or default" >&2; exit 2; }

say() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }
trap 'say "watch.sh: stopped by a failed command at line $LINENO"' ERR
failures=()
fail() {
  say "FAILED: $*"
  failures+=("$*")
}
notes=()

# ---------------------------------------------------------------- tools
find_tools watch.sh
have_time=no
/usr/bin/time -f '%e %M' true >/dev/null 2>&1 && have_time=yes
[[ $have_time == yes ]] || notes+=("GNU time is missing: no peak RSS for the one-shot runs.")
ticks=$(getconf CLK_TCK)

# ---------------------------------------------------------------- work folder
mkdir -p "$work"
work=$(realpath "$work")
settle_stamp=$work/.last-large-deletion
settle_auto=no
if [[ $settle == auto ]]; then
  settle_auto=yes
  settle=0
  if [[ -f $settle_stamp ]]; then
    read -r deleted_at deleted_files <"$settle_stamp" || true
    since=$(($(date +%s) - ${deleted_at:-0}))
    if ((${deleted_files:-0} >= 50000 && since < 360)); then settle=$((360 - since)); fi
  fi
fi
# Leftovers of runs that were stopped are deleted first, and then waited for.
# A run folder ends in its script's process id: one whose script still runs
# is another run's, and stays.
leftovers=0
for old in "$work"/run-*; do
  [[ -d $old ]] || continue
  owner=${old##*-}
  if [[ $owner =~ ^[0-9]+$ ]] && { tr '\0' ' ' <"/proc/$owner/cmdline"; } 2>/dev/null | grep -q 'watch\.sh'; then
    say "leaving $old alone: its run (process $owner) goes on"
    continue
  fi
  say "deleting the leftover $old"
  leftovers=$((leftovers + $(find "$old" | wc -l)))
  rm -rf "$old"
done
[[ $settle_auto == no || $leftovers -lt 50000 ]] || settle=360
run_dir=$work/run-$(date +%Y%m%d-%H%M%S)-$$
mkdir -p "$run_dir"
src=$run_dir/src
dst=$run_dir/dst
log=$run_dir/watch.log
err=$run_dir/watch.err
[[ -n $out ]] || out=$work/watch-$preset-$(date +%Y%m%d-%H%M%S).md

watch_pid=
sleep_fd=
sampler_pid=
cleanup() {
  [[ -z $sampler_pid ]] || kill "$sampler_pid" 2>/dev/null || true
  if [[ -n $watch_pid ]] && kill -0 "$watch_pid" 2>/dev/null; then kill -TERM "$watch_pid" 2>/dev/null || true; fi
  [[ -z $sleep_fd ]] || exec {sleep_fd}>&- || true
}
trap cleanup EXIT

# A sleep without a process: reading from a FIFO that nobody writes to
# times out after the given seconds (1 ms and up).
mkfifo "$run_dir/nap.fifo"
exec {sleep_fd}<>"$run_dir/nap.fifo"
nap() { read -r -t "$1" -u "$sleep_fd" _ || true; }

now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

# Listing of a tree, one sorted line per entry: folders by name, files by
# name, type, mode, size and modification time (to the nanosecond).
listing() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf '%P/ d\n' \) -o -printf '%P %y %m %s %T@\n') |
    sort
}

# ---------------------------------------------------------------- the tree
if ((settle > 0)); then
  say "waiting ${settle}s for the file system to settle after a large deletion"
  sleep "$settle"
fi
read -r free_inodes < <(df --output=iavail "$work" | tail -1)
say "generating the $preset tree (seed $seed) in $src"
"$treegen" generate "$preset" "$src" --seed "$seed" >&2
find "$src" -type f -printf '%P\n' >"$run_dir/files.txt"
src_files=$(wc -l <"$run_dir/files.txt")
src_folders=$(find "$src" -mindepth 1 -type d | wc -l)
((free_inodes > 2 * (src_files + src_folders) + 100000)) ||
  { echo "watch.sh: not enough free inodes in $work" >&2; exit 2; }

# One watch per folder, the root included. The limit is per user, and the
# user's other programs hold watches too.
watch_limit=$(cat /proc/sys/fs/inotify/max_user_watches)
queue_limit=$(cat /proc/sys/fs/inotify/max_queued_events)
watches_in_use=$(
  for f in /proc/[0-9]*/fdinfo/*; do
    [[ $(stat -c %u "${f%/fdinfo/*}" 2>/dev/null) == "$(id -u)" ]] || continue
    grep -c '^inotify wd:' "$f" 2>/dev/null || true
  done | awk '{ s += $1 } END { print s + 0 }'
)
watches_needed=$((src_folders + 1 + watches_in_use))
if ((watch_limit < watches_needed + 1000)); then
  new_limit=$(((watches_needed + 1000) * 2))
  if [[ $(id -u) -eq 0 ]] && sysctl -q -w fs.inotify.max_user_watches="$new_limit"; then
    notes+=("fs.inotify.max_user_watches was $watch_limit, below the $((src_folders + 1)) folders plus the $watches_in_use watches in use: raised to $new_limit with sysctl for this run (not kept across a reboot).")
    say "raised fs.inotify.max_user_watches from $watch_limit to $new_limit"
    watch_limit=$new_limit
  else
    notes+=("fs.inotify.max_user_watches is $watch_limit, below the $((src_folders + 1)) folders plus the $watches_in_use watches in use, and could not be raised (it takes root): the program will say that changes may have been missed.")
  fi
fi

# ---------------------------------------------------------------- one-shot runs
# The first copy makes the destination; then the no-change runs, each after
# a walk of both trees, so that their metadata is in the cache.
say "one-shot first copy into $dst"
mkdir "$dst"
timed_run "$run_dir/first.log" "$binary" "$src" "$dst"
((run_status == 0)) || fail "one-shot first copy: exit status $run_status"
first_secs=$secs first_kib=$kib
say "  first copy ${secs}s, ${kib} KiB"
: >"$run_dir/full.tsv"
for ((r = 1; r <= full_runs; r++)); do
  find "$src" "$dst" >/dev/null
  sync
  timed_run "$run_dir/full-$r.log" "$binary" "$src" "$dst"
  ((run_status == 0)) || fail "one-shot no-change run $r: exit status $run_status"
  if grep -q "Copy File\|Delete File" "$run_dir/full-$r.log"; then fail "one-shot no-change run $r did something"; fi
  printf '%s\t%s\t%s\t%s\t%s\n' "$secs" "$kib" "$user" "$sys" "$load" >>"$run_dir/full.tsv"
  say "  no-change run $r: ${secs}s, ${kib} KiB, CPU ${user}s user ${sys}s system, load $load"
done

# ---------------------------------------------------------------- the watch
# Process figures: CPU seconds (user + system, all threads), VmHWM, VmRSS
# (KiB), threads, voluntary context switches of the main thread.
cpu_of() { awk -v t="$ticks" '{ sub(/^.*\) /, ""); printf "%.2f\n", ($12 + $13) / t }' "/proc/$watch_pid/stat"; }
status_of() { awk -v k="$1:" '$1 == k { print $2 }' "/proc/$watch_pid/status"; }
banners() { grep -c -F "$1" "$log" || true; }
ends() { echo $(($(banners 'FernwickTreeSyncer Normal End') + $(banners 'FernwickTreeSyncer AbNormal End'))); }
starts() { banners 'FernwickTreeSyncer Start'; }
# (A program that ended stays a zombie until waited for: kill -0 would not tell.)
alive() {
  local state=
  [[ -r /proc/$watch_pid/stat ]] && state=$(awk '{ sub(/^.*\) /, ""); print $1 }' "/proc/$watch_pid/stat")
  [[ -n $state && $state != Z ]] || { fail "the watching program ended (see $err)"; return 1; }
}

# Where the resident memory is, from /proc/PID/smaps (MiB): the main heap,
# anonymous mappings (other threads' heaps and stacks, large blocks), the
# main stack, and files (the program and its libraries).
memory_map() {
  awk '/^[0-9a-f]+-[0-9a-f]+ / { name = NF >= 6 ? $6 : "anon"; if (name ~ /^\//) name = "files"; next }
    /^Rss:/ { r[name] += $2 }
    END { printf "heap %.1f, anonymous %.1f, stack %.1f, files %.1f MiB\n",
      r["[heap]"] / 1024, r["anon"] / 1024, r["[stack]"] / 1024, r["files"] / 1024 }' "/proc/$watch_pid/smaps"
}

# Samples VmRSS, the number of threads and the CPU time (clock ticks) every
# 50 ms, with the shell's builtins alone, until the program ends or the
# sampler is stopped. One thread: waiting or collecting changes; more: a
# pass (the destination's walk, the workers). The shell reads /proc files
# in pieces, each a fresh look at the process, so a sample whose pieces do
# not fit together is skipped.
sample_memory() {
  set +e
  local key value rss threads stat
  while [[ -r /proc/$watch_pid/stat ]]; do
    rss='' threads='' stat=()
    while read -r key value _; do
      case $key in VmRSS:) rss=$value ;; Threads:) threads=$value ;; esac
    done <"/proc/$watch_pid/status"
    read -r -a stat <"/proc/$watch_pid/stat"
    # utime and stime are the 14th and 15th fields (the name has no blank).
    if [[ $rss =~ ^[0-9]+$ && $threads =~ ^[0-9]+$ && ${stat[13]:-} =~ ^[0-9]+$ && ${stat[14]:-} =~ ^[0-9]+$ ]]; then
      printf '%s\t%s\t%s\t%s\n' "$EPOCHREALTIME" "$rss" "$threads" "$((stat[13] + stat[14]))"
    fi
    read -r -t 0.05 -u "$sleep_fd" _
  done 2>/dev/null
}

# Waits until every pass that began has ended and the log has not grown for
# QUIET seconds; sets settled_at (the log's last growth).
wait_passes() {
  local quiet=$1 limit=$2 size last=-1 t0 changed
  t0=$(now)
  changed=$t0
  while :; do
    alive || return 1
    size=$(stat -c %s "$log")
    if [[ $size != "$last" ]]; then
      last=$size
      changed=$(now)
    elif (($(starts) == $(ends))) &&
      awk -v a="$changed" -v b="$(now)" -v q="$quiet" 'BEGIN { exit !(b - a >= q) }'; then
      settled_at=$changed
      return 0
    fi
    if awk -v a="$t0" -v b="$(now)" -v l="$limit" 'BEGIN { exit !(b - a > l) }'; then
      fail "the passes did not end within ${limit}s"
      return 1
    fi
    nap 0.2
  done
}

find "$src" "$dst" >/dev/null
sync
say "starting the watch: --watch --watch-delay=$delay ($watcher)"
watch_env=()
[[ $watcher == default ]] || watch_env=(FTS_WATCH_WITH=$watcher)
watch_t0=$(now)
env "${watch_env[@]}" "$binary" --watch --watch-delay="$delay" --stats "$src" "$dst" >"$log" 2>"$err" &
watch_pid=$!
until (($(ends) >= 1)); do
  alive || exit 1
  nap 0.05
done
wait_passes 1 600
initial_secs=$(elapsed "$watch_t0" "$settled_at")
initial_hwm=$(status_of VmHWM)
initial_rss=$(status_of VmRSS)
initial_cpu=$(cpu_of)
initial_map=$(memory_map)
# What the program watches with: inotify watches or a fanotify group.
mechanism=$(
  cd "/proc/$watch_pid/fdinfo" &&
    awk '/^inotify wd:/ { i++ } /^fanotify/ { f = 1 }
      END { if (f) print "fanotify (one mark on the file system)"; else if (i) print "inotify, " i " watches"; else print "unknown" }' ./*
)
say "  watching with $mechanism"
say "  initial pass done after ${initial_secs}s: VmHWM $initial_hwm KiB, VmRSS $initial_rss KiB, CPU ${initial_cpu}s"
if grep -q "Copy File\|Delete File" "$log"; then fail "the initial pass did something on a mirror"; fi

# ---------------------------------------------------------------- idle
say "waiting ${idle_seconds}s without changes"
idle_cpu0=$(cpu_of)
idle_switches0=$(status_of voluntary_ctxt_switches)
idle_log0=$(stat -c %s "$log")
idle_t0=$(now)
sleep "$idle_seconds"
alive
idle_cpu1=$(cpu_of)
idle_switches1=$(status_of voluntary_ctxt_switches)
idle_wall=$(elapsed "$idle_t0" "$(now)")
idle_cpu=$(awk -v a="$idle_cpu0" -v b="$idle_cpu1" 'BEGIN { printf "%.2f", b - a }')
idle_cpu_600=$(awk -v c="$idle_cpu" -v w="$idle_wall" 'BEGIN { printf "%.3f", c * 600 / w }')
idle_switches=$((idle_switches1 - idle_switches0))
idle_rss=$(status_of VmRSS)
idle_threads=$(status_of Threads)
[[ $(stat -c %s "$log") == "$idle_log0" ]] || fail "the log grew while nothing changed"
say "  CPU ${idle_cpu}s in ${idle_wall}s, $idle_switches wake-ups, VmRSS $idle_rss KiB, $idle_threads threads"

# ---------------------------------------------------------------- picks
# Files picked at random (seeded), all different: the edits first, then the
# burst's appends, touches and deletions.
appends=$((burst / 2))
deletions=$((burst / 20))
new_folders=$((burst / 2000))
new_files=$((burst / 20 - new_folders))
touches=$((burst - appends - deletions - new_files - 2 * new_folders))
picks=$((edits + appends + touches + deletions))
((picks <= src_files)) || { echo "watch.sh: the tree has too few files for the picks" >&2; exit 2; }
awk -v seed="$seed" 'BEGIN { srand(seed) } { printf "%.12f\t%s\n", rand(), $0 }' "$run_dir/files.txt" |
  sort -t $'\t' -k1,1 | awk -v n="$picks" 'NR <= n' | cut -f2- >"$run_dir/picks.txt"

# ---------------------------------------------------------------- edits
# Each edit appends a line to one file; the destination's copy is polled
# every millisecond until it exists with the source's time (a copy gets its
# time before it gets its name), then compared.
say "timing $edits single edits"
: >"$run_dir/edits.tsv"
i=0
while IFS= read -r rel && ((i < edits)); do
  i=$((i + 1))
  s=$src/$rel
  d=$dst/$rel
  ends_before=$(ends)
  t0=$(now)
  printf 'edit %d at %s\n' "$i" "$t0" >>"$s"
  # Microseconds, in the shell alone: no process is started while polling.
  limit=$((${t0/./} + 60000000 + $(awk -v d="$delay" 'BEGIN { printf "%d", d * 1000000 }')))
  until [[ -e $d && ! $d -ot $s ]]; do
    nap 0.001
    if ((${EPOCHREALTIME/./} > limit)); then
      fail "edit $i: $d not updated within 60 s after the delay"
      break
    fi
  done
  t1=$(now)
  cmp -s "$s" "$d" || fail "edit $i: $d differs from its source"
  late=$(awk -v a="$t0" -v b="$t1" -v d="$delay" 'BEGIN { printf "%.3f", b - a - d }')
  # The pass's end, its stats and the next edit only after it.
  until (($(ends) > ends_before)) && (($(starts) == $(ends))); do
    alive || exit 1
    nap 0.01
  done
  nap 0.3
  printf '%s\t%s\t%s\n' "$i" "$late" "$rel" >>"$run_dir/edits.tsv"
  say "  edit $i: ${late}s after the delay ($rel)"
done <"$run_dir/picks.txt"
edits_hwm=$(status_of VmHWM)
edits_rss=$(status_of VmRSS)
edits_map=$(memory_map)
edits_cpu=$(cpu_of)
late_median=$(cut -f2 "$run_dir/edits.tsv" | median)
late_max=$(cut -f2 "$run_dir/edits.tsv" | sort -g | sed -n '$p')
late_min=$(cut -f2 "$run_dir/edits.tsv" | sort -g | sed -n 1p)
edit_cpu=$(awk -v a="$idle_cpu1" -v b="$edits_cpu" -v n="$edits" 'BEGIN { if (n) printf "%.3f", (b - a) / n; else print "NA" }')
say "  after the delay: median ${late_median}s, max ${late_max}s; VmHWM $edits_hwm KiB, VmRSS $edits_rss KiB"

# ---------------------------------------------------------------- burst
burst_done=no
if ((burst > 0)); then
  say "burst: $appends appends, $touches touches, $deletions deletions, $new_files new files, $new_folders new folders with a file each"
  lines() { awk -v a="$1" -v b="$2" 'NR >= a && NR < b' "$3"; }
  lines "$((edits + 1))" "$((edits + appends + 1))" "$run_dir/picks.txt" >"$run_dir/b-append.txt"
  lines "$((edits + appends + 1))" "$((edits + appends + touches + 1))" "$run_dir/picks.txt" >"$run_dir/b-touch.txt"
  lines "$((edits + appends + touches + 1))" "$((picks + 1))" "$run_dir/picks.txt" >"$run_dir/b-delete.txt"
  # New files and folders go into the folders of the appended files.
  awk -v n="$new_files" -v f="$new_folders" '
    { d = $0; sub(/\/[^\/]*$/, "", d); if (d == $0) d = "." }
    NR <= n { printf "%s/burst-new-%06d.txt\n", d, NR }
    NR > n && NR <= n + f { printf "%s/burst-folder-%06d\n", d, NR }' "$run_dir/b-append.txt" >"$run_dir/b-new.txt"
  lines 1 "$((new_files + 1))" "$run_dir/b-new.txt" >"$run_dir/b-create.txt"
  lines "$((new_files + 1))" "$((new_files + new_folders + 1))" "$run_dir/b-new.txt" >"$run_dir/b-folders.txt"
  log_lines0=$(wc -l <"$log")
  starts0=$(starts)
  burst_cpu0=$(cpu_of)
  sample_memory >"$run_dir/burst-memory.tsv" &
  sampler_pid=$!
  burst_t0=$(now)
  # shellcheck disable=SC2016 # the small scripts expand their own "$f"
  (
    cd "$src"
    xargs -d '\n' -r -n 2000 sh -c 'for f do echo burst >>"$f"; done' sh <"$run_dir/b-append.txt" &
    xargs -d '\n' -r -n 2000 touch -- <"$run_dir/b-touch.txt" &
    xargs -d '\n' -r -n 2000 rm -f -- <"$run_dir/b-delete.txt" &
    xargs -d '\n' -r -n 2000 sh -c 'for f do echo new >"$f"; done' sh <"$run_dir/b-create.txt" &
    xargs -d '\n' -r -n 1000 sh -c 'for f do mkdir "$f" && echo new >"$f/inside.txt"; done' sh <"$run_dir/b-folders.txt" &
    wait
  )
  burst_t1=$(now)
  burst_secs=$(elapsed "$burst_t0" "$burst_t1")
  say "  burst took ${burst_secs}s; waiting for the passes to end"
  if wait_passes "$(awk -v d="$delay" 'BEGIN { print d + 5 }')" 3600; then
    burst_done=yes
    settle_secs=$(elapsed "$burst_t1" "$settled_at")
    burst_cpu=$(awk -v a="$burst_cpu0" -v b="$(cpu_of)" 'BEGIN { printf "%.2f", b - a }')
    burst_hwm=$(status_of VmHWM)
    burst_rss=$(status_of VmRSS)
    burst_map=$(memory_map)
    kill "$sampler_pid" 2>/dev/null || true
    wait "$sampler_pid" 2>/dev/null || true
    # The highest VmRSS before the first pass began (one thread, collecting
    # the changes) and from then on, the most threads, and the CPU seconds
    # taken until the first pass began.
    read -r collect_peak pass_peak most_threads collect_cpu < <(awk -F'\t' -v hz="$ticks" '
      NR == 1 { c0 = $4 } $3 > 1 && !pass { pass = 1; c1 = $4 }
      !pass && $2 > c { c = $2 } pass && $2 > p { p = $2 } $3 > t { t = $3 }
      END { if (!pass) c1 = $4; printf "%d %d %d %.2f\n", c, p, t, (c1 - c0) / hz }' "$run_dir/burst-memory.tsv")
    burst_passes=$(($(starts) - starts0))
    overflow=no
    grep -q "changes may have been missed" "$err" && overflow=yes
    # Each pass after the burst began: its time stamp, source files and
    # folders listed, files copied and deleted.
    tail -n +"$((log_lines0 + 1))" "$log" | awk '
      /FernwickTreeSyncer Start/ { t = $2 }
      /Source Files/ { f = $NF } /Source Folders/ { d = $NF }
      /Files Deleted/ { x = $NF } /Files Copied/ { c = $NF } /Actions Failed/ { a = $NF }
      /Copy Rate/ { print t "\t" f "\t" d "\t" c "\t" x "\t" a }' >"$run_dir/burst-passes.tsv"
    whole_passes=$(awk -F'\t' -v n="$src_folders" '$3 >= n' "$run_dir/burst-passes.tsv" | wc -l)
    say "  settled ${settle_secs}s after the burst; $burst_passes passes ($whole_passes listing every folder); overflow: $overflow"
    say "  comparing the trees (diff -r and listings)"
    diff_status=0
    diff -r "$src" "$dst" >"$run_dir/diff.out" 2>&1 || diff_status=$?
    if ((diff_status == 0)); then diff_result="equal"; else
      diff_result="different ($(wc -l <"$run_dir/diff.out") lines of diff -r)"
      fail "after the burst: diff -r finds the trees different (see $run_dir/diff.out)"
    fi
    if listing "$src" | cmp -s - <(listing "$dst"); then listing_result="equal"; else
      listing_result="different"
      fail "after the burst: the listings (modes, sizes, times) differ"
    fi
    say "  diff -r: $diff_result; listings: $listing_result"
  fi
fi

# ---------------------------------------------------------------- the end
alive
kill -TERM "$watch_pid"
term_status=0
wait "$watch_pid" || term_status=$?
watch_pid=
((term_status == 143)) || fail "SIGTERM: exit status $term_status, not 143"
say "  SIGTERM: exit status $term_status"

# ---------------------------------------------------------------- report
if [[ -n $commit_label ]]; then
  commit=$commit_label
else
  commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
  if [[ -n $(git -C "$repo" status --porcelain -- src CMakeLists.txt 2>/dev/null) ]]; then
    commit+=" (with uncommitted changes in src/)"
  fi
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$(dirname "$binary")/CMakeCache.txt" 2>/dev/null || true)
cpu_model=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
fs_type=$(findmnt -no FSTYPE -T "$work" 2>/dev/null || stat -f -c %T "$work")
mib() { awk -v k="$1" 'BEGIN { if (k == "" || k == "NA") print "–"; else printf "%.1f", k / 1024 }'; }
met() { awk -v v="$1" -v t="$2" 'BEGIN { if (v == "" || v == "NA") print "–"; else print (v <= t ? "yes" : "no") }'; }
full_median=$(cut -f1 "$run_dir/full.tsv" | median)
full_min=$(cut -f1 "$run_dir/full.tsv" | sort -g | sed -n 1p)
full_max=$(cut -f1 "$run_dir/full.tsv" | sort -g | sed -n '$p')
full_kib=$(cut -f2 "$run_dir/full.tsv" | median)
report() {
  echo "### Preset $preset: $src_files files in $src_folders folders, --watch-delay=$delay, $mechanism"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $commit; ${build_type:-unknown} build"
  echo "- machine: $(nproc) cores ($cpu_model), $(free -m | awk '/^Mem:/ { printf "%.1f GiB", $2 / 1024 }') memory," \
    "kernel $(uname -r), $fs_type at $work"
  echo "- inotify: max_user_watches $watch_limit ($watches_in_use in use by the user's other programs), max_queued_events $queue_limit"
  echo "- load average (1, 5, 15 min) at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
  echo "| measure | target | measured | met |"
  echo "| --- | --- | --- | --- |"
  echo "| 1. edit to destination, after the quiet delay, median of $edits | – | ${late_median} s (min ${late_min}) | – |"
  echo "| 1. edit to destination, after the quiet delay, max of $edits | ≤ 0.25 s | ${late_max} s | $(met "$late_max" 0.25) |"
  echo "| 1. one-shot no-change run of the same trees, median of $full_runs | – | ${full_median} s (${full_min}–${full_max}), peak RSS $(mib "$full_kib") MiB | – |"
  echo "| 2. CPU while waiting, ${idle_wall} s without changes | – | ${idle_cpu} s ($idle_switches wake-ups of the main thread) | – |"
  echo "| 2. the same for 10 minutes | ≤ 0.1 s | ${idle_cpu_600} s$([[ $idle_seconds -ge 600 ]] || echo ", scaled from ${idle_seconds} s") | $(met "$idle_cpu_600" 0.1) |"
  echo "| 3. VmHWM after the initial pass | ≤ 16 MiB | $(mib "$initial_hwm") MiB | $(met "$(mib "$initial_hwm")" 16) |"
  echo "| 3. VmHWM after the edits | ≤ 16 MiB | $(mib "$edits_hwm") MiB | $(met "$(mib "$edits_hwm")" 16) |"
  echo "| 3. VmRSS while waiting (after the initial pass, after the edits) | – | $(mib "$initial_rss"), $(mib "$idle_rss") (idle), $(mib "$edits_rss") MiB | – |"
  echo "| 3. VmHWM after the burst's passes (see 4) | ≤ 16 MiB | $(mib "${burst_hwm:-NA}") MiB | $(met "$(mib "${burst_hwm:-NA}")" 16) |"
  if [[ $burst_done == yes ]]; then
    echo "| 4. burst of $burst changes in ${burst_secs} s: \`diff -r src dst\` after the passes | equal | $diff_result (listings: $listing_result) | $([[ $diff_result == equal && $listing_result == equal ]] && echo yes || echo no) |"
    echo "| 4. queue overflowed (\"changes may have been missed\") | – | $overflow | – |"
    echo "| 4. passes after the burst began; last ended after the burst's end | – | $burst_passes ($whole_passes listing every folder); ${settle_secs} s | – |"
    echo "| 4. VmRSS sampled every 50 ms: peak while collecting the changes, peak from the first pass on; VmRSS after | – | $(mib "$collect_peak"), $(mib "$pass_peak") MiB (up to $most_threads threads); $(mib "$burst_rss") MiB | – |"
    echo "| 4. CPU time collecting the changes; from the burst's start to the last pass's end | – | ${collect_cpu} s; ${burst_cpu} s | – |"
  elif ((burst > 0)); then
    echo "| 4. burst of $burst changes | equal | did not settle | no |"
  fi
  echo
  echo "- one-shot first copy (makes the destination): ${first_secs} s, peak RSS $(mib "$first_kib") MiB"
  echo "- the watch's initial pass (watches set, whole trees compared): ${initial_secs} s, CPU ${initial_cpu} s;" \
    "CPU per edit's pass $edit_cpu s; threads while waiting: $idle_threads"
  echo "- edits after the delay, in order (s): $(cut -f2 "$run_dir/edits.tsv" | paste -sd' ')"
  echo "- resident memory after the initial pass: $initial_map; after the edits: $edits_map"
  [[ $burst_done != yes ]] || echo "- resident memory after the burst's passes: $burst_map"
  if [[ $burst_done == yes ]]; then
    echo "- burst: $appends appends, $touches touches, $deletions deletions, $new_files new files, $new_folders new folders with a file each, by 5 parallel xargs streams"
    echo "- passes after the burst began (start, source files, source folders, copied, deleted, failed):" \
      "$(awk -F'\t' '{ printf "%s%s %s/%s/%s/%s/%s", (NR > 1 ? "; " : ""), $1, $2, $3, $4, $5, $6 }' "$run_dir/burst-passes.tsv")"
    if [[ $overflow == yes ]]; then
      echo "- standard error: $(grep -m 3 "changes may have been missed" "$err" | paste -sd' ')"
    fi
  fi
  echo "- SIGTERM ended the watch with exit status $term_status"
  local note
  for note in "${notes[@]}"; do echo "- $note"; done
  if ((${#failures[@]})); then
    echo
    echo "**Checks failed:**"
    for note in "${failures[@]}"; do echo "- $note"; done
  fi
}
report | tee "$out"
cp "$run_dir/edits.tsv" "${out%.md}-edits.tsv"
[[ ! -f $run_dir/burst-passes.tsv ]] || cp "$run_dir/burst-passes.tsv" "${out%.md}-burst.tsv"
say "report written to $out"

if [[ $keep == yes ]]; then
  say "trees and logs kept in $run_dir"
else
  say "deleting the trees"
  rm -rf "$run_dir"
  ((src_files < 25000)) || echo "$(date +%s) $((2 * src_files))" >"$settle_stamp"
  say "deleted"
fi
((${#failures[@]} == 0))
