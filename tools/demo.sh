#!/usr/bin/env bash
# Shows what FernwickTreeSyncer does: builds it (tools/build.sh, which installs
# the packages it needs), makes a small sample tree in a temporary folder and
# mirrors it for real:
#
#   1. a dry run, which shows the plan and changes nothing;
#   2. the mirror;
#   3. a change in the source: a file edited (so with a newer time), one
#      deleted, one added;
#   4. the second run, which carries over just those changes.
#
# Every command is printed before it runs.
#
#   tools/demo.sh [--keep]     --keep: leave the sample tree for a look
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

keep=false
case ${1:-} in
  --keep) keep=true ;;
  "") ;;
  *) echo "usage: tools/demo.sh [--keep]" >&2; exit 2 ;;
esac

# Two build jobs at most: the build machines are shared.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}

# Prints a command, then runs it; a non-zero exit code is shown and ends the demo.
run() {
  printf '$ %s\n' "$*"
  local status=0
  eval "$*" || status=$?
  if ((status != 0)); then
    echo "(exit code $status)"
    exit "$status"
  fi
}

run tools/build.sh
export PATH=$root/build:$PATH

demo=$(mktemp -d "${TMPDIR:-/tmp}/fts-demo.XXXXXX")
if $keep; then
  echo "The sample tree stays in $demo"
else
  trap 'rm -rf "$demo"' EXIT
fi
cd "$demo"

printf '\n# The sample, in %s.\n' "$demo"
# The sample: a source tree whose files carry a time in January, and a mirror
# that still holds a file the source no longer has.
run mkdir -p source/docs/notes source/photos/2025 mirror
run 'echo "How the team works." >source/docs/readme.txt'
run 'echo "Plan for the spring." >source/docs/notes/plan.txt'
run 'head -c 4096 /dev/zero >source/photos/2025/beach.jpg'
run 'head -c 2048 /dev/zero >source/photos/2025/hills.jpg'
run 'echo "Last year." >mirror/old-report.txt'
run "find source mirror -type f -exec touch -d '2026-01-15 09:00:00' {} +"

# --stats is being added to the program: a build that does not take it yet
# rejects the command line (exit code 1), so a first run on two empty
# folders tells, and the demo goes without it until then.
stats=--stats
mkdir probe-from probe-to
if ! FernwickTreeSyncer --stats --dry-run probe-from probe-to >/dev/null 2>&1; then
  stats=
  printf '\n(This build does not take --stats yet: the runs go without it.)\n'
fi
rmdir probe-from probe-to

printf '\n# 1. A dry run: the plan, and nothing on disk changes.\n'
run FernwickTreeSyncer ${stats:+"$stats"} --dry-run source mirror
run 'find mirror | sort'

printf '\n# 2. The mirror.\n'
run FernwickTreeSyncer ${stats:+"$stats"} source mirror
run 'find mirror | sort'

printf '\n# 3. A change in the source: a file edited, one deleted, one added.\n'
run 'echo "Everyone reviews on Fridays." >>source/docs/readme.txt'
run rm source/photos/2025/beach.jpg
run 'echo "Minutes of the first meeting." >source/docs/notes/minutes.txt'

printf '\n# 4. The second run carries over just these changes.\n'
run FernwickTreeSyncer ${stats:+"$stats"} source mirror
run 'find mirror | sort'
run 'diff -r source mirror && echo "The mirror is the source."'
