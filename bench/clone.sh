#!/usr/bin/env bash
# Times the first copy of a generated tree within a file system that can
# share blocks (btrfs, XFS with reflink) by FernwickTreeSyncer, with its
# default workers and with --jobs=1, against cp -a; checks every copy and
# samples whether it shares its source's blocks. Needs root (loop mounts).
# See bench/README.md.
set -euo pipefail
export LC_ALL=C

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/timed_run.sh
source "$repo/bench/timed_run.sh"

preset=100k
rounds=5
seed=1
file_systems=btrfs,xfs
image_gib=8
build_dir=$repo/build-rel
binary=
treegen=
work=${TMPDIR:-/tmp}/fts-clone
out=
settle=5
commit_label=

usage() {
  cat <<EOF
usage: bench/clone.sh [options]   (as root)
  --preset NAME       tiny, 10k, 100k or 1m (default: $preset)
  --rounds N          timed rounds (default: $rounds)
  --seed N            seed of the generated tree (default: $seed)
  --fs LIST           file systems, of btrfs and xfs (default: $file_systems)
  --image-gib G       length of each (sparse) image file (default: $image_gib)
  --build-dir DIR     Release build to use, made when missing (default: build-rel)
  --binary PATH       FernwickTreeSyncer to time (default: BUILD-DIR/FernwickTreeSyncer)
  --treegen PATH      tree generator (default: BUILD-DIR/bench/fts_treegen)
  --work DIR          where images, mounts and logs go (default: \$TMPDIR/fts-clone or /tmp/fts-clone)
  --out FILE          also write the report there (default: WORK/clone-TIME.md)
  --settle SECONDS    wait this long after sync before each timed run (default: $settle)
  --commit TEXT       commit to name in the report (default: HEAD of the work tree)
EOF
}

while (($#)); do
  case $1 in
    --preset) preset=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --fs) file_systems=$2; shift 2 ;;
    --image-gib) image_gib=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    --binary) binary=$2; shift 2 ;;
    --treegen) treegen=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --settle) settle=$2; shift 2 ;;
    --commit) commit_label=$2; shift 2 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "clone.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
done
for n in "$rounds" "$image_gib"; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "clone.sh: counts and sizes are positive numbers" >&2; exit 2; }
done
[[ $settle =~ ^[0-9]+$ ]] || { echo "clone.sh: --settle takes whole seconds" >&2; exit 2; }
IFS=, read -r -a fs_list <<<"$file_systems"
for fs in "${fs_list[@]}"; do
  [[ $fs == btrfs || $fs == xfs ]] || { echo "clone.sh: unknown file system $fs" >&2; exit 2; }
  command -v "mkfs.$fs" >/dev/null || { echo "clone.sh: mkfs.$fs is missing" >&2; exit 2; }
done
((EUID == 0)) || { echo "clone.sh: loop mounts need root" >&2; exit 2; }
command -v filefrag >/dev/null || { echo "clone.sh: filefrag (e2fsprogs) is missing" >&2; exit 2; }

say() { printf '[%(%H:%M:%S)T] %s\n' -1 "$*" >&2; }

find_tools clone.sh
have_time=no
/usr/bin/time -f '%e %M' true >/dev/null 2>&1 && have_time=yes

mkdir -p "$work"
work=$(realpath "$work")
# The images are sparse, but each may fill up to its length.
free_kib=$(df -k --output=avail "$work" | tail -1)
need_kib=$((image_gib * ${#fs_list[@]} * 1048576))
if ((need_kib > free_kib)); then
  echo "clone.sh: ${#fs_list[@]} images of $image_gib GiB need $((need_kib / 1048576)) GiB in $work;" \
    "$((free_kib / 1048576)) GiB are free" >&2
  exit 2
fi

run_dir=$work/run-$(date +%Y%m%d-%H%M%S)-$$
mkdir -p "$run_dir/logs"
results=$run_dir/results.tsv
: >"$results"
[[ -n $out ]] || out=$work/clone-$(date +%Y%m%d-%H%M%S).md
failures=()
fail() {
  say "FAILED: $*"
  failures+=("$*")
}

# Every image is unmounted and deleted however the script ends.
mounted=()
clean_up() {
  local fs
  for fs in "${mounted[@]}"; do umount "$run_dir/mnt-$fs" 2>/dev/null || true; done
  rm -f "$run_dir"/*.img
}
trap clean_up EXIT

# ---------------------------------------------------------------- checks
# One sorted line per entry: folders by name, files by name, type, mode,
# size and modification time (to the nanosecond).
listing() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf '%P/ d\n' \) -o -printf '%P %y %m %s %T@\n') |
    sort
}

# The expected listing, and the files whose contents are compared (every
# 50th and every one over 1 MiB) and whose sharing is sampled (every 500th
# file that is not empty and every one over 1 MiB).
expect() {
  local src=$1 lists=$2
  listing "$src" >"$lists/list"
  awk '$NF != "d"' "$lists/list" >"$lists/files"
  # Names may hold blanks: the last four fields go.
  awk 'NR % 50 == 1 || $(NF-1) > 1048576' "$lists/files" |
    sed -E 's/ [^ ]+ [^ ]+ [^ ]+ [^ ]+$//' >"$lists/sample"
  awk '$(NF-1) > 0 && (++n % 500 == 1 || $(NF-1) > 1048576)' "$lists/files" |
    sed -E 's/ [^ ]+ [^ ]+ [^ ]+ [^ ]+$//' >"$lists/shared"
  (cd "$src" && xargs -d '\n' -r md5sum -- <"$lists/sample") >"$lists/sums"
}

check_tree() {
  local dir=$1 lists=$2 what=$3
  if ! listing "$dir" | cmp -s - "$lists/list"; then
    fail "$what: $dir differs from the source"
    listing "$dir" | diff "$lists/list" - | sed -n 1,10p >&2 || true
    return
  fi
  if ! (cd "$dir" && xargs -d '\n' -r md5sum -- <"$lists/sample") | cmp -s - "$lists/sums"; then
    fail "$what: file contents in $dir differ from the source"
  fi
}

# Of the sampled files in DIR: how many share all their extents, how many
# keep their data inline in the metadata (small files on btrfs: nothing to
# share), and how many neither; "shared inline other".
sharing() {
  local dir=$1 lists=$2 file n s i shared=0 inline=0 other=0
  while IFS= read -r file; do
    read -r n s i < <(filefrag -v -- "$dir/$file" 2>/dev/null |
      awk '/^ *[0-9]+:/ { n++; if (/shared/) s++; if (/inline/) i++ } END { print n + 0, s + 0, i + 0 }')
    if ((n > 0 && s == n)); then
      shared=$((shared + 1))
    elif ((i > 0)); then
      inline=$((inline + 1))
    else
      other=$((other + 1))
    fi
  done <"$lists/shared"
  echo "$shared $inline $other"
}

# ---------------------------------------------------------------- timing
# The source's data and metadata in the cache, nothing pending to be
# written, and a few seconds for the file system's own work to end.
warm() {
  find "$1" -type f -print0 | xargs -0 -r cat -- >/dev/null
  find "$1" >/dev/null
  sync
  sleep "$settle"
}

tools=(fts fts1 cp)
rotated() {
  local round=$1
  shift
  local list=("$@") i n=$#
  for ((i = 0; i < n; i++)); do echo "${list[(i + round - 1) % n]}"; done
}
tool_title() {
  case $1 in
    fts) echo "FernwickTreeSyncer SRC DST" ;;
    fts1) echo "FernwickTreeSyncer --jobs=1 SRC DST" ;;
    cp) echo "cp -a SRC DST" ;;
  esac
}

declare -A share_of fs_info src_files
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
for fs in "${fs_list[@]}"; do
  image=$run_dir/$fs.img
  mnt=$run_dir/mnt-$fs
  lists=$run_dir/lists-$fs
  mkdir -p "$mnt" "$lists"
  truncate -s "${image_gib}G" "$image"
  case $fs in
    btrfs) mkfs.btrfs -q -f "$image" >/dev/null 2>&1 ;;
    xfs) mkfs.xfs -q -f -m reflink=1 "$image" >/dev/null ;;
  esac
  mount -t "$fs" -o loop "$image" "$mnt"
  mounted+=("$fs")
  fs_info[$fs]="$(findmnt -no FSTYPE,OPTIONS "$mnt" | tr -s ' ' | sed 's/ / (/; s/$/)/')"
  src=$mnt/src
  say "$fs: generating the $preset tree in $src"
  "$treegen" generate "$preset" "$src" --seed "$seed" >&2
  sync
  expect "$src" "$lists"
  src_files[$fs]=$(wc -l <"$lists/files")
  say "$fs: ${src_files[$fs]} files, $rounds rounds"
  for round in $(seq 1 "$rounds"); do
    for tool in $(rotated "$round" "${tools[@]}"); do
      dst=$mnt/r$round-$tool
      log=$run_dir/logs/$fs-$tool.log
      warm "$src"
      case $tool in
        fts | fts1)
          mkdir "$dst"
          jobs=()
          [[ $tool == fts ]] || jobs=(--jobs=1)
          timed_run "$log" "$binary" "${jobs[@]}" "$src" "$dst"
          ((run_status == 0)) || fail "$fs, $tool, round $round: exit status $run_status"
          grep -q "Normal End" "$log" || fail "$fs, $tool, round $round: no normal end"
          ;;
        cp)
          timed_run "$log" cp -a "$src" "$dst"
          ((run_status == 0)) || fail "$fs, cp, round $round: exit status $run_status"
          ;;
      esac
      echo "$fs	$round	$tool	$secs	$kib	$load	$user	$sys" >>"$results"
      say "  $fs round $round: $tool ${secs}s ${kib} KiB, CPU ${user}s user ${sys}s system, load $load"
      check_tree "$dst" "$lists" "$fs, $tool, round $round"
      # The first round's copies tell whether blocks are shared.
      ((round > 1)) || share_of[$fs:$tool]=$(sharing "$dst" "$lists")
      rm -rf "$dst"
    done
  done
  say "$fs: unmounting"
  umount "$mnt"
  mounted=("${mounted[@]/$fs/}")
  rm -f "$image"
done
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# ---------------------------------------------------------------- report
column_of() { awk -F'\t' -v f="$1" -v t="$2" -v c="$3" '$1 == f && $3 == t && $c != "NA" { print $c }' "$results"; }
ratio() {
  awk -F'\t' -v f="$1" -v a="$2" -v b="$3" '
    $1 == f && $3 == a { x[$2] = $4 } $1 == f && $3 == b { y[$2] = $4 }
    END { for (r in x) if ((r in y) && y[r] > 0) print x[r] / y[r] }' "$results" | median |
    awk '{ if ($1 == "NA") print "–"; else printf "%.2f\n", $1 }'
}
seconds() { awk '{ if ($1 == "NA") print "–"; else printf "%.2f\n", $1 }'; }

if [[ -n $commit_label ]]; then
  commit=$commit_label
else
  commit=$(git -C "$repo" rev-parse --short HEAD 2>/dev/null || echo unknown)
  if [[ -n $(git -C "$repo" status --porcelain -- src CMakeLists.txt 2>/dev/null) ]]; then
    commit+=" (with uncommitted changes in src/)"
  fi
fi
build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$(dirname "$binary")/CMakeCache.txt" 2>/dev/null || true)
report() {
  echo "### First copy within one file system, preset $preset, $rounds rounds"
  echo
  echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC'); commit $commit; ${build_type:-unknown} build"
  echo "- machine: $(nproc) cores, kernel $(uname -r); images of $image_gib GiB in $work" \
    "($(findmnt -no FSTYPE -T "$work" 2>/dev/null || stat -f -c %T "$work")), loop-mounted"
  echo "- load average (1, 5, 15 min): $load_start at the start, $load_end at the end"
  echo "- versions: $(cp --version | sed -n 1p), btrfs-progs $(mkfs.btrfs --version 2>&1 | sed -n 1p | awk '{ print $NF }')," \
    "xfsprogs $(mkfs.xfs -V | awk '{ print $NF }')"
  echo
  echo "| file system | tool | median s | min–max s | peak RSS MiB | user s | system s | × cp | sampled files sharing all extents |"
  echo "| --- | --- | ---: | ---: | ---: | ---: | ---: | ---: | --- |"
  local fs tool med lo hi rss usr sy vs_cp shared inline other share
  for fs in "${fs_list[@]}"; do
    for tool in "${tools[@]}"; do
      med=$(column_of "$fs" "$tool" 4 | median | seconds)
      lo=$(column_of "$fs" "$tool" 4 | sort -g | sed -n 1p | seconds)
      hi=$(column_of "$fs" "$tool" 4 | sort -g | tail -1 | seconds)
      rss=$(column_of "$fs" "$tool" 5 | median | awk '{ if ($1 == "NA") print "–"; else printf "%.1f\n", $1 / 1024 }')
      usr=$(column_of "$fs" "$tool" 7 | median | seconds)
      sy=$(column_of "$fs" "$tool" 8 | median | seconds)
      vs_cp="–"
      [[ $tool == cp ]] || vs_cp=$(ratio "$fs" "$tool" cp)
      read -r shared inline other <<<"${share_of[$fs:$tool]:-0 0 0}"
      share="$shared of $((shared + inline + other))"
      ((inline == 0)) || share+=" ($inline inline)"
      echo "| $fs | $(tool_title "$tool") | $med | $lo–$hi | $rss | $usr | $sy | $vs_cp | $share |"
    done
  done
  echo
  echo "Ratios are medians of the per-round ratios; user and system CPU are medians too."
  for fs in "${fs_list[@]}"; do
    echo "- $fs: ${fs_info[$fs]}; ${src_files[$fs]} files in the source"
  done
  echo "- Sharing: of the first round's copy, every 500th file that is not empty and every file over"
  echo "  1 MiB, with \`filefrag -v\`; \"inline\" files keep their data in the metadata, with nothing to share."
  if ((${#failures[@]})); then
    echo
    echo "**Checks failed:**"
    local note
    for note in "${failures[@]}"; do echo "- $note"; done
  else
    echo
    echo "Every copy was checked: names, types, modes, sizes and times of all entries, contents of a sample."
  fi
}
report | tee "$out"
cp "$results" "${out%.md}.tsv"
say "report written to $out"
rm -rf "$run_dir"
((${#failures[@]} == 0))
