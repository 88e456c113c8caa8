#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz/ with clang and libFuzzer (into
# build-fuzz/) and runs each for a while, two at a time. Exits non-zero when
# any target finds an input that crashes it or breaks one of its properties,
# and tells where that input is.
#
#   tools/fuzz.sh [--seconds N] [--jobs N] [--merge] [target...]
#
#   --seconds N  how long each target runs (default 30)
#   --jobs N     targets run side by side, and build jobs (default 2)
#   --merge      afterwards, add the inputs found that reach new code,
#                minimised, to the corpus in the repository
#   target...    only these targets (default: every tests/fuzz/*_fuzz.cpp)
#
# Each target starts from its corpus in tests/fuzz/corpus/<target>/, which it
# only reads; what it finds goes to build-fuzz/corpus/<target>/, which later
# runs start from too. Findings land in build-fuzz/findings/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
started=$SECONDS

seconds=30
jobs=2
merge=false
targets=()
while (($#)); do
  case $1 in
    --seconds) seconds=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --merge) merge=true; shift ;;
    -h | --help) sed -n '2,19p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option: $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
if ((${#targets[@]} == 0)); then
  for source in tests/fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

# clang and libFuzzer's runtime; llvm-14 for the symbolizer that names the
# functions in a finding's stack trace.
tools/install-deps.sh cmake ninja-build clang libclang-rt-14-dev llvm-14

out=$root/build-fuzz
echo "== Building the fuzz targets"
CC=clang CXX=clang++ cmake -S . -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFTS_FUZZ=ON -DFTS_BUILD_TESTS=OFF -DFTS_BUILD_BENCH=OFF >/dev/null
cmake --build "$out" -j "$jobs" --target "${targets[@]}"

export UBSAN_OPTIONS=print_stacktrace=1
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

# Runs one target; its log goes to build-fuzz/logs/<target>.log, its exit
# code to build-fuzz/logs/<target>.status.
run_target() {
  local target=$1
  local binary=$out/tests/fuzz/$target
  local corpus=$out/corpus/$target
  local findings=$out/findings/$target
  local log=$out/logs/$target.log
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings" "$out/logs"
  local status=0
  # A single input that takes 10 s counts as a hang.
  "$binary" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$findings/" "$corpus" "$root/tests/fuzz/corpus/$target" \
    >"$log" 2>&1 || status=$?
  echo "$status" >"$out/logs/$target.status"
}

echo "== Running ${#targets[@]} targets for ${seconds} s each, $jobs at a time"
for target in "${targets[@]}"; do
  while (($(jobs -rp | wc -l) >= jobs)); do
    wait -n || true
  done
  echo "   $target"
  run_target "$target" &
done
wait

passed=0
failed=0
for target in "${targets[@]}"; do
  log=$out/logs/$target.log
  status=$(cat "$out/logs/$target.status")
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  coverage=$({ grep -o 'cov: [0-9]*' "$log" || true; } | tail -1 | cut -d' ' -f2)
  repo_inputs=$(find "tests/fuzz/corpus/$target" -type f | wc -l)
  scratch_inputs=$(find "$out/corpus/$target" -type f | wc -l)
  if [[ $status == 0 ]]; then
    passed=$((passed + 1))
    printf '%-26s ok: %s runs, %s edges covered, corpus %s in the repository + %s found\n' \
      "$target" "${runs:-?}" "${coverage:-?}" "$repo_inputs" "$scratch_inputs"
  else
    failed=$((failed + 1))
    echo "$target FAILED (exit code $status); its log: $log"
    grep -E 'property broken|runtime error|ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer)' \
      "$log" | head -5 | sed 's/^/    /' || true
    found=$(find "$out/findings/$target" -type f | sort)
    if [[ -n $found ]]; then
      while read -r input; do
        echo "    input: $input"
        echo "    again: $out/tests/fuzz/$target $input"
      done <<<"$found"
    fi
  fi
done

if $merge; then
  echo "== Merging new finds into tests/fuzz/corpus/"
  for target in "${targets[@]}"; do
    before=$(find "tests/fuzz/corpus/$target" -type f | wc -l)
    "$out/tests/fuzz/$target" -merge=1 "tests/fuzz/corpus/$target" "$out/corpus/$target" \
      >"$out/logs/$target.merge.log" 2>&1
    after=$(find "tests/fuzz/corpus/$target" -type f | wc -l)
    echo "   $target: $before -> $after inputs"
  done
fi

echo "Fuzzing took $((SECONDS - started)) s"
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
