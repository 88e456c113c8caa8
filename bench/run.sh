#!/usr/bin/env bash
# Times FernwickTreeSyncer against rsync and cp on generated trees and checks
# every mirror it makes. See bench/README.md.
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/timed_run.sh
source "$repo/bench/timed_run.sh"

preset=100k
rounds=5
seed=1
scenarios=first,nochange,changed,dryrun
build_dir=$repo/build
binary=
treegen=
work=${TMPDIR:-/tmp}/fts-bench
out=
install=yes
install_timeout=300
settle=auto
keep_trash=no
rev=
commit_label=

usage() {
  cat <<EOF
usage: bench/run.sh [options]
  --preset NAME        tiny, 10k, 100k or 1m (default: $preset)
  --rounds N           timed rounds per scenario (default: $rounds)
  --seed N             seed of the generated trees (default: $seed)
  --scenarios LIST     comma-separated, of: first, nochange, changed, dryrun,
                       nochange-cold, changed-cold, and cold for both of these,
                       nochange-faithful, nochange-content
                       (default: $scenarios; the cold ones drop the system's
                       page cache before every timed run, as root)
  --build-dir DIR      Release build to use, made when missing (default: build)
  --binary PATH        FernwickTreeSyncer to time (default: BUILD-DIR/FernwickTreeSyncer)
  --treegen PATH       tree generator (default: BUILD-DIR/bench/fts_treegen,
                       or bench/fts_treegen beside --binary)
  --work DIR           where trees go (default: \$TMPDIR/fts-bench or /tmp/fts-bench)
  --out FILE           also write the report there (default: WORK/results-PRESET-TIME.md)
  --no-install         do not install missing rsync or GNU time
  --install-timeout S  give up installing after S seconds (default: $install_timeout)
  --settle SECONDS     wait this long before timing (default: auto, which waits
                       until 6 minutes after the last large deletion in WORK)
  --keep-trash         leave the used destinations in WORK/run-*/trash
  --rev REV            time the program of commit REV (exported with git archive
                       and built in WORK/build-REV) rather than a build of the work tree
  --commit TEXT        commit to name in the report (default: HEAD, or REV)
EOF
}

while (($#)); do
  case $1 in
    --preset) preset=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --scenarios) scenarios=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --binary) binary=$2; shift 2 ;;
    --treegen) treegen=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-install) install=no; shift ;;
    --install-timeout) install_timeout=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --keep-trash) keep_trash=yes; shift ;;
    --rev) rev=$2; shift 2 ;;
    --commit) commit_label=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "run.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
[[ $rounds =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --rounds wants a positive number" >&2; exit 2; }
IFS=, read -r -a requested <<<"$scenarios"
scenario_list=()
for s in "${requested[@]}"; do
  case $s in
    first | nochange | changed | dryrun | nochange-cold | changed-cold) scenario_list+=("$s") ;;
    nochange-faithful | nochange-content) scenario_list+=("$s") ;;
    cold) scenario_list+=(nochange-cold changed-cold) ;;
    *) echo "run.sh: unknown scenario $s" >&2; exit 2 ;;
  esac
done

say() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }

# ---------------------------------------------------------------- tools
apt_install() {
  [[ $install == yes ]] || return 1
  local sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null && sudo -n true 2>/dev/null || return 1
    sudo_cmd=(sudo -n)
  fi
  command -v apt-get >/dev/null || return 1
  say "installing $*"
  export DEBIAN_FRONTEND=noninteractive
  timeout "$install_timeout" "${sudo_cmd[@]}" apt-get install -y -qq "$@" >/dev/null 2>&1 && return 0
  timeout "$install_timeout" "${sudo_cmd[@]}" apt-get update -qq >/dev/null 2>&1 || true
  timeout "$install_timeout" "${sudo_cmd[@]}" apt-get install -y -qq "$@" >/dev/null 2>&1
}

wants_faithful=no
for s in "${scenario_list[@]}"; do [[ $s != nochange-faithful ]] || wants_faithful=yes; done
missing=()
command -v rsync >/dev/null || missing+=(rsync)
[[ -x /usr/bin/time ]] || missing+=(time)
if [[ $wants_faithful == yes ]]; then
  command -v setfattr >/dev/null || missing+=(attr)
  command -v setfacl >/dev/null || missing+=(acl)
fi
((${#missing[@]} == 0)) || apt_install "${missing[@]}" || true
have_rsync=no
command -v rsync >/dev/null && have_rsync=yes
have_time=no
/usr/bin/time -f '%e %M' true >/dev/null 2>&1 && have_time=yes
notes=()
[[ $have_rsync == yes ]] || notes+=("rsync is missing and could not be installed: FernwickTreeSyncer ran alone.")
if [[ $wants_faithful == yes ]] && { ! command -v setfattr >/dev/null || ! command -v setfacl >/dev/null; }; then
  notes+=("setfattr or setfacl is missing: the faithful tree has fewer extended attributes or ACLs.")
fi
[[ $have_time == yes ]] || notes+=("GNU time is missing and could not be installed: no peak RSS.")

# The cold scenarios drop the page cache, dentries and inodes before every
# timed run; that takes root (or sudo without a password). Where it cannot
# be done they are left out, and the report says so.
drop_cmd=()
drop_caches() {
  sync
  echo 3 | "${drop_cmd[@]}" tee /proc/sys/vm/drop_caches >/dev/null 2>&1
}
wants_cold=no
for s in "${scenario_list[@]}"; do [[ $s != *-cold ]] || wants_cold=yes; done
if [[ $wants_cold == yes ]]; then
  if [[ $(id -u) -ne 0 ]] && command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    drop_cmd=(sudo -n)
  fi
  if ! drop_caches; then
    note="The page cache cannot be dropped here (it takes root and a writable /proc/sys/vm/drop_caches): the cold-cache scenarios were skipped."
    echo "run.sh: $note" >&2
    notes+=("$note")
    kept=()
    for s in "${scenario_list[@]}"; do [[ $s == *-cold ]] || kept+=("$s"); done
    scenario_list=("${kept[@]}")
    if ((${#scenario_list[@]} == 0)); then
      echo "run.sh: no scenario left to run" >&2
      exit 0
    fi
  else
    notes+=("Cold cache: before every timed run of the cold scenarios, \`sync; echo 3 > /proc/sys/vm/drop_caches\` dropped the page cache, dentries and inodes.")
  fi
fi

if [[ -n $rev && -z $binary ]]; then
  rev_id=$(git -C "$repo" rev-parse --short "$rev^{commit}")
  rev_dir=$work/build-$rev_id
  if [[ ! -x $rev_dir/build/FernwickTreeSyncer ]]; then
    say "building FernwickTreeSyncer of commit $rev_id (Release) in $rev_dir"
    rm -rf "$rev_dir"
    mkdir -p "$rev_dir/tree"
    git -C "$repo" archive "$rev_id" | tar -x -C "$rev_dir/tree"
    cmake -S "$rev_dir/tree" -B "$rev_dir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DFTS_BUILD_TESTS=OFF >/dev/null
    cmake --build "$rev_dir/build" --target FernwickTreeSyncer >/dev/null
    # Older commits have no generator of their own; the one of the working
    # tree's build is used then.
    cmake --build "$rev_dir/build" --target fts_treegen >/dev/null 2>&1 || true
  fi
  binary=$rev_dir/build/FernwickTreeSyncer
  if [[ -z $treegen && -x $rev_dir/build/bench/fts_treegen ]]; then
    treegen=$rev_dir/build/bench/fts_treegen
  fi
  [[ -n $commit_label ]] || commit_label=$rev_id
fi
find_tools run.sh

# ---------------------------------------------------------------- work folder
mkdir -p "$work"
work=$(realpath "$work")
run_dir=$work/run-$(date +%Y%m%d-%H%M%S)-$$
trash=$run_dir/trash
mkdir -p "$trash" "$run_dir/logs" "$run_dir/lists"
# Leftovers of runs that were stopped go with this run's trash, after timing.
for old in "$work"/run-*; do
  [[ $old == "$run_dir" || ! -d $old ]] || mv "$old" "$trash/"
done
results=$run_dir/results.tsv
: >"$results"
[[ -n $out ]] || out=$work/results-$preset-$(date +%Y%m%d-%H%M%S).md
failures=()
fail() {
  say "FAILED: $*"
  failures+=("$*")
}

# ---------------------------------------------------------------- source trees
treegen_stamp=$(cat "$repo/bench/treegen.cpp" 2>/dev/null | md5sum | cut -c1-12)
src=$work/src-$preset-s$seed
srcx=$work/src-$preset-s$seed-changed

# Listing of a tree, one sorted line per entry: folders by name, files by
# name, type, mode, size and modification time (to the nanosecond).
listing() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf '%P/ d\n' \) -o -printf '%P %y %m %s %T@\n') |
    sort
}

# Makes (or reuses) a source tree; `change` also derives the changed one.
make_source() {
  local dir=$1 change=$2 stamp
  stamp="$treegen_stamp $preset $seed $change"
  if [[ -d $dir && -f $dir.ok ]] && [[ $(head -1 "$dir.ok") == "$stamp" ]] &&
    [[ $(listing "$dir" | md5sum) == "$(sed -n 2p "$dir.ok")" ]]; then
    say "reusing $dir"
    return
  fi
  rm -f "$dir.ok"
  [[ ! -e $dir ]] || mv "$dir" "$trash/stale-$(basename "$dir")"
  say "generating $dir"
  "$treegen" generate "$preset" "$dir" --seed "$seed" >&2
  [[ $change == no ]] || "$treegen" change "$preset" "$dir" --seed "$seed" >&2
  printf '%s\n%s\n' "$stamp" "$(listing "$dir" | md5sum)" >"$dir.ok"
}

needs_changed=no
for s in "${scenario_list[@]}"; do [[ $s == changed* || $s == dryrun ]] && needs_changed=yes; done
make_source "$src" no
[[ $needs_changed == no ]] || make_source "$srcx" yes

# The tree with what only the faithful switches carry: a copy of the tree in
# which every 100th file (in listing order) has an extended attribute, every
# 100th another an ACL, every 100th another a second name (a hard link,
# NAME.hl beside it), and every 20th folder a default ACL. No links: without
# --links=keep a source link is followed and its copy would be a file, so
# the run without the switches would not be a no-change run.
srcf=$work/src-$preset-s$seed-faithful
decorated=$work/src-$preset-s$seed-faithful.decorated
decorate() {
  local dir=$1 files folders
  files=$(cd "$dir" && find . -mindepth 1 -type f -printf '%P\n' | sort)
  folders=$(cd "$dir" && find . -mindepth 1 -type d -printf '%P\n' | sort)
  (
    cd "$dir"
    awk 'NR % 100 == 1' <<<"$files" >"$decorated.xattr"
    awk 'NR % 100 == 51' <<<"$files" >"$decorated.acl"
    awk 'NR % 100 == 26' <<<"$files" >"$decorated.linked"
    awk 'NR % 20 == 1' <<<"$folders" >"$decorated.folders"
    if command -v setfattr >/dev/null; then
      xargs -d '\n' -r setfattr -n user.fts.bench -v "kept by the faithful copy" -- <"$decorated.xattr"
    fi
    if command -v setfacl >/dev/null; then
      xargs -d '\n' -r setfacl -m u:1234:r -- <"$decorated.acl"
      xargs -d '\n' -r setfacl -d -m u:1234:rx -- <"$decorated.folders"
    fi
    while IFS= read -r name; do ln -- "$name" "$name.hl"; done <"$decorated.linked"
    sed 's/$/.hl/' "$decorated.linked" >"$decorated.second"
    cat "$decorated.second" >>"$decorated.linked"
    rm -f "$decorated.second"
  )
}
make_faithful_source() {
  local stamp
  stamp="$treegen_stamp $preset $seed faithful"
  if [[ -d $srcf && -f $srcf.ok && -f $decorated.linked ]] && [[ $(head -1 "$srcf.ok") == "$stamp" ]] &&
    [[ $(listing "$srcf" | md5sum) == "$(sed -n 2p "$srcf.ok")" ]]; then
    say "reusing $srcf"
    return
  fi
  rm -f "$srcf.ok"
  [[ ! -e $srcf ]] || mv "$srcf" "$trash/stale-$(basename "$srcf")"
  say "generating $srcf"
  cp -a "$src" "$srcf"
  decorate "$srcf"
  printf '%s\n%s\n' "$stamp" "$(listing "$srcf" | md5sum)" >"$srcf.ok"
}
[[ $wants_faithful == no ]] || make_faithful_source

# What the listing does not show of the faithful tree: the extended
# attributes, the ACLs and the link counts of the decorated entries.
extras() {
  (
    cd "$1"
    if command -v getfattr >/dev/null; then
      xargs -d '\n' -r getfattr -d -m '^user\.' -- <"$decorated.xattr" 2>&1
    fi
    if command -v getfacl >/dev/null; then
      cat "$decorated.acl" "$decorated.folders" | xargs -d '\n' -r getfacl -- 2>&1
    fi
    xargs -d '\n' -r stat -c '%h %n' -- <"$decorated.linked"
  )
}

# Expected listings and content checksums, once per source. Contents are
# checked for every file up to 20,000 files, above that for every 50th file
# and every file over 1 MiB.
prepare_expectation() {
  local key=$1 dir=$2 lists=$run_dir/lists
  listing "$dir" >"$lists/$key.list"
  awk '$NF != "d"' "$lists/$key.list" >"$lists/$key.files"
  local count
  count=$(wc -l <"$lists/$key.files")
  if ((count <= 20000)); then
    cp "$lists/$key.files" "$lists/$key.sample"
  else
    awk 'NR % 50 == 1 || $(NF-1) > 1048576' "$lists/$key.files" >"$lists/$key.sample"
  fi
  sed -E -i 's/ [^ ]+ [^ ]+ [^ ]+ [^ ]+$//' "$lists/$key.sample"
  (cd "$dir" && xargs -d '\n' -r md5sum -- <"$lists/$key.sample") >"$lists/$key.sums"
}
prepare_expectation base "$src"
[[ $needs_changed == no ]] || prepare_expectation changed "$srcx"
if [[ $wants_faithful == yes ]]; then
  prepare_expectation faithful "$srcf"
  extras "$srcf" >"$run_dir/lists/faithful.extras"
fi
src_files=$(wc -l <"$run_dir/lists/base.files")

# Checks that DIR holds exactly the tree KEY: same folders, same files with
# the same mode, size and time, and the same contents for the sample.
check_tree() {
  local key=$1 dir=$2 what=$3 lists=$run_dir/lists
  if ! listing "$dir" | cmp -s - "$lists/$key.list"; then
    fail "$what: $dir differs from the expected tree"
    listing "$dir" | diff "$lists/$key.list" - | sed -n 1p0 >&2 || true
    return
  fi
  if ! (cd "$dir" && xargs -d '\n' -r md5sum -- <"$lists/$key.sample") | cmp -s - "$lists/$key.sums"; then
    fail "$what: file contents in $dir differ from the source"
  fi
  if [[ -f $lists/$key.extras ]] && ! extras "$dir" | cmp -s - "$lists/$key.extras"; then
    fail "$what: extended attributes, ACLs or hard links in $dir differ from the source"
  fi
}

# ---------------------------------------------------------------- space, settling
trees_per_round=0
for s in "${scenario_list[@]}"; do
  case $s in
    first) trees_per_round=$((trees_per_round + 2 + $([[ $have_rsync == yes ]] && echo 1 || echo 0))) ;;
    changed*) trees_per_round=$((trees_per_round + 1 + $([[ $have_rsync == yes ]] && echo 1 || echo 0))) ;;
    *) trees_per_round=$((trees_per_round + 1)) ;;
  esac
done
tree_kib=$(du -sk "$src" | cut -f1)
tree_inodes=$(($(wc -l <"$run_dir/lists/base.list") + 1))
need_kib=$((tree_kib * (trees_per_round * rounds + 1)))
need_inodes=$((tree_inodes * (trees_per_round * rounds + 1)))
read -r free_kib free_inodes < <(df -k --output=avail,iavail "$work" | tail -1)
if ((need_kib > free_kib || need_inodes > free_inodes)); then
  echo "run.sh: $rounds rounds need about $((need_kib / 1048576)) GiB and $need_inodes inodes" \
    "in $work; $((free_kib / 1048576)) GiB and $free_inodes inodes are free" >&2
  exit 2
fi

settle_stamp=$work/.last-large-deletion
if [[ $settle == auto ]]; then
  settle=0
  if [[ -f $settle_stamp ]]; then
    read -r deleted_at deleted_files <"$settle_stamp" || true
    since=$(($(date +%s) - ${deleted_at:-0}))
    if ((${deleted_files:-0} >= 50000 && since < 360)); then settle=$((360 - since)); fi
  fi
fi
if ((settle > 0)); then
  say "waiting ${settle}s for the file system to settle after a large deletion"
  sleep "$settle"
fi

# ---------------------------------------------------------------- timing
# Reads the source's data and both trees' metadata into the cache, and
# writes back dirty data, so that each timed run starts alike.
warm() {
  find "$1" -type f -print0 | xargs -0 -r cat -- >/dev/null
  find "$@" >/dev/null
  sync
}

# Readies the machine for the next timed run: a warm cache, or in the cold
# scenarios (cold=yes) nothing of either tree in the cache at all.
cold=no
ready() {
  if [[ $cold == yes ]]; then
    drop_caches || fail "could not drop the page cache"
  else
    warm "$@"
  fi
}

# measure SCENARIO TOOL ROUND LOG COMMAND...: one timed run, appended to the
# results; sets run_status.
measure() {
  local scenario=$1 tool=$2 round=$3 log=$4 secs kib load user sys
  shift 4
  timed_run "$log" "$@"
  printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$scenario" "$tool" "$round" "$secs" "${kib:-NA}" \
    "$load" "${user:-NA}" "${sys:-NA}" >>"$results"
  say "  $scenario round $round: $tool ${secs}s ${kib:-NA} KiB, CPU ${user:-NA}s user ${sys:-NA}s system, load $load"
}

fts_ok() {
  local what=$1 log=$2
  ((run_status == 0)) || fail "$what: exit status $run_status (log: $log)"
  grep -q "Normal End" "$log" || fail "$what: no normal end in $log"
}

count_actions() {
  local log=$1
  printf '%s copies, %s deletions, %s folders made, %s folders removed' \
    "$(grep -Ec 'Copy File +:' "$log" || true)" "$(grep -Ec 'Delete File +:' "$log" || true)" \
    "$(grep -Ec 'Make Directory +:' "$log" || true)" "$(grep -Ec 'Remove Directory +:' "$log" || true)"
  local mended
  mended=$(grep -Ec 'Set Attributes +:' "$log" || true)
  ((mended == 0)) || printf ', %s attributes set' "$mended"
}

declare -A actions
cat_tunables=glibc.malloc.mmap_threshold=4194304:glibc.malloc.trim_threshold=67108864
faithful_switches=(--links=keep --preserve=owner,xattrs,acls,hardlinks --compare=time,size,attributes)
declare -A scenario_title=(
  [first]="first copy into an empty folder"
  [nochange]="no-change re-sync"
  [changed]="1 % changed"
  [dryrun]="dry run of the 1 % changed"
  [nochange-cold]="no-change re-sync, cold cache"
  [changed-cold]="1 % changed, cold cache"
  [nochange-faithful]="no change, faithful switches"
  [nochange-content]="no change, contents compared"
)
logs=$run_dir/logs

say "preset $preset, $rounds rounds, scenarios $scenarios, work in $run_dir"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
# The tools of a scenario, after the floor, in an order that turns by one
# each round: whatever slows the first run after the preparation (write-back,
# a deletion, memory the system takes back) does not always hit one tool.
rotated() {
  local round=$1
  shift
  local tools=("$@") i n=$#
  for ((i = 0; i < n; i++)); do echo "${tools[(i + round - 1) % n]}"; done
}

for round in $(seq 1 "$rounds"); do
  for scenario in "${scenario_list[@]}"; do
    base=$run_dir/r$round-$scenario
    cold=no
    [[ $scenario != *-cold ]] || cold=yes
    what="${scenario_title[$scenario]}"
    tools=(fts)
    [[ $have_rsync == no ]] || tools+=(rsync)
    case $scenario in
      first)
        mkdir "$base-fts"
        [[ $have_rsync == no ]] || mkdir "$base-rsync"
        tools+=(cp)
        sync
        warm "$src" "$base-fts"
        measure first floor "$round" /dev/null find "$src" "$base-fts" -printf "%T@ %s %p\n"
        for tool in $(rotated "$round" "${tools[@]}"); do
          case $tool in
            fts)
              warm "$src" "$base-fts"
              measure first fts "$round" "$logs/first-fts.log" "$binary" "$src" "$base-fts"
              fts_ok "$what, round $round" "$logs/first-fts.log"
              check_tree base "$base-fts" "FernwickTreeSyncer, $what, round $round"
              [[ $round -gt 1 ]] || actions[first]=$(count_actions "$logs/first-fts.log")
              ;;
            rsync)
              warm "$src" "$base-rsync"
              measure first rsync "$round" "$logs/first-rsync.log" rsync -a --delete "$src/" "$base-rsync/"
              ((run_status == 0)) || fail "rsync, $what, round $round: exit status $run_status"
              check_tree base "$base-rsync" "rsync, $what, round $round"
              ;;
            cp)
              warm "$src"
              measure first cp "$round" "$logs/first-cp.log" cp -a "$src" "$base-cp"
              ((run_status == 0)) || fail "cp, $what, round $round: exit status $run_status"
              check_tree base "$base-cp" "cp, $what, round $round"
              ;;
          esac
        done
        ;;
      nochange | dryrun | nochange-cold)
        # Neither tool may change this destination, so they share it; the
        # checks after each run make sure of that.
        run_src=$src
        [[ $scenario != dryrun ]] || run_src=$srcx
        flag=()
        [[ $scenario != dryrun ]] || flag=(-n)
        cp -a "$src" "$base"
        sync
        ready "$run_src" "$base"
        measure "$scenario" floor "$round" /dev/null find "$run_src" "$base" -printf "%T@ %s %p\n"
        for tool in $(rotated "$round" "${tools[@]}"); do
          ready "$run_src" "$base"
          if [[ $tool == fts ]]; then
            measure "$scenario" fts "$round" "$logs/$scenario-fts.log" "$binary" "${flag[@]}" "$run_src" "$base"
            fts_ok "$what, round $round" "$logs/$scenario-fts.log"
            check_tree base "$base" "FernwickTreeSyncer, $what, round $round"
            [[ $round -gt 1 ]] || actions[$scenario]=$(count_actions "$logs/$scenario-fts.log")
          else
            measure "$scenario" rsync "$round" "$logs/$scenario-rsync.log" rsync -a --delete "${flag[@]}" "$run_src/" "$base/"
            ((run_status == 0)) || fail "rsync, $what, round $round: exit status $run_status"
            check_tree base "$base" "rsync, $what, round $round"
          fi
        done
        ;;
      nochange-faithful)
        # The switches that keep what rsync -aHAX keeps, against the same run
        # without them (plain) and rsync -aHAX, on the faithful tree. All
        # three share one destination, a cp -a of it, and must leave it as it is.
        cp -a "$srcf" "$base"
        sync
        ready "$srcf" "$base"
        measure "$scenario" floor "$round" /dev/null find "$srcf" "$base" -printf "%T@ %s %p\n"
        for tool in $(rotated "$round" fts plain "${tools[@]:1}"); do
          ready "$srcf" "$base"
          case $tool in
            fts | plain)
              switches=()
              [[ $tool == plain ]] || switches=("${faithful_switches[@]}")
              measure "$scenario" "$tool" "$round" "$logs/$scenario-$tool.log" "$binary" "${switches[@]}" "$srcf" "$base"
              fts_ok "$what, $tool, round $round" "$logs/$scenario-$tool.log"
              check_tree faithful "$base" "FernwickTreeSyncer ($tool), $what, round $round"
              [[ $round -gt 1 || $tool == plain ]] || actions[$scenario]=$(count_actions "$logs/$scenario-fts.log")
              ;;
            rsync)
              measure "$scenario" rsync "$round" "$logs/$scenario-rsync.log" rsync -aHAX --delete "$srcf/" "$base/"
              ((run_status == 0)) || fail "rsync, $what, round $round: exit status $run_status"
              check_tree faithful "$base" "rsync, $what, round $round"
              ;;
          esac
        done
        ;;
      nochange-content)
        # Contents compared byte for byte against rsync -c; the floor reads
        # every file of both trees once. Both trees' data is read into the
        # cache before every timed run.
        cp -a "$src" "$base"
        sync
        ready "$base"
        ready "$src" "$base"
        # cat takes a fresh 128 KiB buffer for every file, which glibc would
        # map and unmap each time (two system calls and page faults a file);
        # the tunables keep it in the heap, so the floor is the reading alone.
        measure "$scenario" floor "$round" /dev/null env GLIBC_TUNABLES="$cat_tunables" \
          find "$src" "$base" -type f -exec cat -- {} +
        for tool in $(rotated "$round" "${tools[@]}"); do
          ready "$base"
          ready "$src" "$base"
          if [[ $tool == fts ]]; then
            measure "$scenario" fts "$round" "$logs/$scenario-fts.log" "$binary" --compare=content "$src" "$base"
            fts_ok "$what, round $round" "$logs/$scenario-fts.log"
            check_tree base "$base" "FernwickTreeSyncer, $what, round $round"
            [[ $round -gt 1 ]] || actions[$scenario]=$(count_actions "$logs/$scenario-fts.log")
          else
            measure "$scenario" rsync "$round" "$logs/$scenario-rsync.log" rsync -a -c --delete "$src/" "$base/"
            ((run_status == 0)) || fail "rsync, $what, round $round: exit status $run_status"
            check_tree base "$base" "rsync, $what, round $round"
          fi
        done
        ;;
      changed | changed-cold)
        cp -a "$src" "$base-fts"
        [[ $have_rsync == no ]] || cp -a "$src" "$base-rsync"
        sync
        ready "$srcx" "$base-fts"
        measure "$scenario" floor "$round" /dev/null find "$srcx" "$base-fts" -printf "%T@ %s %p\n"
        for tool in $(rotated "$round" "${tools[@]}"); do
          ready "$srcx" "$base-$tool"
          if [[ $tool == fts ]]; then
            measure "$scenario" fts "$round" "$logs/$scenario-fts.log" "$binary" "$srcx" "$base-fts"
            fts_ok "$what, round $round" "$logs/$scenario-fts.log"
            check_tree changed "$base-fts" "FernwickTreeSyncer, $what, round $round"
            [[ $round -gt 1 ]] || actions[$scenario]=$(count_actions "$logs/$scenario-fts.log")
          else
            measure "$scenario" rsync "$round" "$logs/$scenario-rsync.log" rsync -a --delete "$srcx/" "$base-rsync/"
            ((run_status == 0)) || fail "rsync, $what, round $round: exit status $run_status"
            check_tree changed "$base-rsync" "rsync, $what, round $round"
          fi
        done
        ;;
    esac
  done
  # Used destinations go aside; they are deleted once the table is out.
  for used in "$run_dir"/r"$round"-*; do [[ ! -e $used ]] || mv "$used" "$trash/"; done
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- report
column_of() { awk -F'\t' -v s="$1" -v t="$2" -v c="$3" '$1 == s && $2 == t && $c != "NA" { print $c }' "$results"; }
# Median over the rounds of the ratio TOOL / OTHER of the same round.
ratio() {
  awk -F'\t' -v s="$1" -v a="$2" -v b="$3" '
    $1 == s && $2 == a { x[$3] = $4 } $1 == s && $2 == b { y[$3] = $4 }
    END { for (r in x) if ((r in y) && y[r] > 0) print x[r] / y[r] }' "$results" | median |
    awk '{ if ($1 == "NA") print "–"; else printf "%.2f\n", $1 }'
}
seconds() { awk '{ if ($1 == "NA") print "–"; else printf "%.2f\n", $1 }'; }

tool_title() {
  case $1:$2 in
    nochange-content:floor) echo "floor: find SRC DST -type f -exec cat" ;;
    *:floor) echo "floor: find SRC DST -printf" ;;
    dryrun:fts) echo "FernwickTreeSyncer -n" ;;
    nochange-faithful:fts) echo "FernwickTreeSyncer, switches" ;;
    nochange-faithful:plain) echo "FernwickTreeSyncer, no switches" ;;
    nochange-content:fts) echo "FernwickTreeSyncer --compare=content" ;;
    nochange-faithful:rsync) echo "rsync -aHAX --delete" ;;
    nochange-content:rsync) echo "rsync -a -c --delete" ;;
    *:fts) echo "FernwickTreeSyncer" ;;
    dryrun:rsync) echo "rsync -a --delete -n" ;;
    *:rsync) echo "rsync -a --delete" ;;
    *:cp) echo "cp -a" ;;
  esac
}

if [[ -n $commit_label ]]; then
  commit=$commit_label
else
  commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
  if [[ -n $(git -C "$repo" status --porcelain -- src CMakeLists.txt 2>/dev/null) ]]; then
    commit+=" (with uncommitted changes in src/)"
  fi
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$(dirname "$binary")/CMakeCache.txt" 2>/dev/null || true)
cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
fs_type=$(findmnt -no FSTYPE -T "$work" 2>/dev/null || stat -f -c %T "$work")
report() {
  echo "### Preset $preset: $src_files files, $rounds rounds"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $commit; ${build_type:-unknown} build"
  echo "- machine: $(nproc) cores ($cpu), $(free -m | awk '/^Mem:/ { printf "%.1f GiB", $2 / 1024 }') memory," \
    "kernel $(uname -r), $fs_type at $work"
  echo "- load average (1, 5, 15 min): $load_start at the start, $load_end at the end"
  local versions
  versions=$(cp --version | sed -n 1p)
  [[ $have_rsync == no ]] || versions="$(rsync --version | sed -n 1p | awk '{ print $1, $3 }'), $versions"
  echo "- versions: $versions"
  echo
  echo "| scenario | tool | median s | min–max s | peak RSS MiB | × floor | × rsync | × cp |"
  echo "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: |"
  local scenario tool
  for scenario in "${scenario_list[@]}"; do
    for tool in floor fts plain rsync cp; do
      [[ -n $(column_of "$scenario" "$tool" 4) ]] || continue
      local med lo hi rss
      med=$(column_of "$scenario" "$tool" 4 | median | seconds)
      lo=$(column_of "$scenario" "$tool" 4 | sort -g | sed -n 1p | seconds)
      hi=$(column_of "$scenario" "$tool" 4 | sort -g | tail -1 | seconds)
      rss=$(column_of "$scenario" "$tool" 5 | median | awk '{ if ($1 == "NA") print "–"; else printf "%.1f\n", $1 / 1024 }')
      local vs_floor="–" vs_rsync="–" vs_cp="–"
      [[ $tool == floor ]] || vs_floor=$(ratio "$scenario" "$tool" floor)
      [[ $tool == rsync ]] || vs_rsync=$(ratio "$scenario" "$tool" rsync)
      [[ $tool == cp ]] || vs_cp=$(ratio "$scenario" "$tool" cp)
      echo "| ${scenario_title[$scenario]} | $(tool_title "$scenario" "$tool") | $med | $lo–$hi | $rss | $vs_floor | $vs_rsync | $vs_cp |"
    done
  done
  echo
  echo "Ratios are medians of the per-round ratios. FernwickTreeSyncer's actions (first round):"
  for scenario in "${scenario_list[@]}"; do
    echo "- ${scenario_title[$scenario]}: ${actions[$scenario]:-none logged}"
  done
  if [[ " ${scenario_list[*]} " == *" nochange-faithful "* ]]; then
    echo "- no change, faithful switches: the switches are \`${faithful_switches[*]}\`;" \
      "with them against without, median of the per-round ratios: $(ratio nochange-faithful fts plain)x"
  fi
  local note
  for note in "${notes[@]}"; do echo "- $note"; done
  if ((${#failures[@]})); then
    echo
    echo "**Mirror checks failed:**"
    for note in "${failures[@]}"; do echo "- $note"; done
  else
    echo
    echo "Every destination was checked after every run: all mirror checks passed."
  fi
}
report | tee "$out"
cp "$results" "${out%.md}.tsv"
say "report written to $out"

# ---------------------------------------------------------------- clean up
if [[ $keep_trash == yes ]]; then
  say "used destinations kept in $trash"
else
  say "deleting the used destinations"
  deleted=$((src_files * trees_per_round * rounds))
  rm -rf "$run_dir"
  ((deleted < 50000)) || echo "$(date +%s) $deleted" >"$settle_stamp"
  say "deleted"
fi
((${#failures[@]} == 0))
