# Sourced by the benchmark scripts.

# median: the median of the numbers on standard input, one a line ("NA" for
# none).
median() {
  sort -g | awk '{ v[NR] = $1 }
    END { if (NR == 0) print "NA"; else if (NR % 2) print v[(NR + 1) / 2];
          else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# timed_run LOG COMMAND...: runs COMMAND
# once with its output in LOG and sets secs (wall clock), kib (peak RSS),
# user and sys (CPU seconds, "NA" without GNU time), load (the 1-minute
# load average after it) and run_status. Uses run_dir and have_time.
timed_run() {
  local log=$1 timefile=$run_dir/time.out t0 t1
  shift
  kib=NA user=NA sys=NA
  : >"$timefile"
  t0=$EPOCHREALTIME
  if [[ $have_time == yes ]]; then
    /usr/bin/time -f '%e %M %U %S' -o "$timefile" "$@" >"$log" 2>&1 && run_status=0 || run_status=$?
  else
    "$@" >"$log" 2>&1 && run_status=0 || run_status=$?
  fi
  t1=$EPOCHREALTIME
  secs=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.3f", b - a }')
  [[ $have_time == no ]] || read -r _ kib user sys < <(tail -1 "$timefile")
  load=$(cut -d' ' -f1 /proc/loadavg)
}

# find_tools NAME: the program and the tree generator to measure, in binary
# and treegen (made absolute): as given, or built (Release) in build_dir
# when missing there. Uses repo, build_dir and say; NAME is the script's,
# for its messages.
find_tools() {
  if [[ -z $binary ]]; then
    binary=$build_dir/FernwickTreeSyncer
    [[ -n $treegen ]] || treegen=$build_dir/bench/fts_treegen
    if [[ ! -x $binary || ! -x $treegen ]]; then
      say "building FernwickTreeSyncer and fts_treegen (Release) in $build_dir"
      cmake -S "$repo" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
      cmake --build "$build_dir" --target FernwickTreeSyncer fts_treegen >/dev/null
    fi
  fi
  [[ -n $treegen ]] || treegen=$(dirname "$binary")/bench/fts_treegen
  binary=$(realpath "$binary")
  treegen=$(realpath "$treegen")
  [[ -x $binary ]] || { echo "$1: no program at $binary" >&2; exit 2; }
  [[ -x $treegen ]] || { echo "$1: no tree generator at $treegen" >&2; exit 2; }
}
