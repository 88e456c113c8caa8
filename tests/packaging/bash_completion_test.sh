#!/usr/bin/env bash
# The bash completion of packaging/bash-completion/, run in this shell with
# bash-completion's helpers, for command lines set up as bash sets them up
# when Tab is pressed at their end:
#
#   tests/packaging/bash_completion_test.sh <the completion file>
#
# Exit code 77 (skipped) where bash-completion is missing.
helpers=/usr/share/bash-completion/bash_completion
if [[ ! -r $helpers ]]; then
  echo "SKIPPED: bash-completion is missing (apt install bash-completion)"
  exit 77
fi
# shellcheck source=/dev/null
source "$helpers"
# shellcheck source=../../packaging/bash-completion/FernwickTreeSyncer
source "$1" || exit 1

# compopt works only while bash completes; here it notes its options.
compopt() { options+=" $*"; }

# Completes `line` with the cursor at its end. bash splits the words at
# blanks and, while COMP_WORDBREAKS holds one, at '=', which stands as a
# word of its own. Prints the replies sorted (bytewise), on one line, then
# " [nospace]" where compopt was asked for it.
complete_line() {
  local line=$1 word
  local -a blank_separated
  COMP_LINE=$line
  COMP_POINT=${#line}
  COMP_WORDS=()
  read -ra blank_separated <<<"$line"
  for word in "${blank_separated[@]}"; do
    if [[ $COMP_WORDBREAKS == *=* && $word == *=* ]]; then
      COMP_WORDS+=("${word%%=*}" "=")
      [[ -z ${word#*=} ]] || COMP_WORDS+=("${word#*=}")
    else
      COMP_WORDS+=("$word")
    fi
  done
  [[ $line != *' ' ]] || COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  options=""
  _FernwickTreeSyncer FernwickTreeSyncer "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  local sorted
  sorted=$(printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' ')
  sorted=${sorted% }
  [[ $options != *nospace* ]] || sorted+=" [nospace]"
  printf '%s' "${sorted# }"
}

failed=0
expect() {
  local got
  got=$(complete_line "$1")
  if [[ $got == "$2" ]]; then
    echo "ok: '$1' -> '$got'"
  else
    echo "FAILED: '$1' -> '$got', expected '$2'"
    failed=1
  fi
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/alpha" "$work/beta"
: >"$work/file.txt"
cd "$work" || exit 1

# Switches; one that takes a value waits for it after the '='.
expect 'FernwickTreeSyncer --li' '--links= [nospace]'
expect 'FernwickTreeSyncer --w' '--watch --watch-delay='
expect 'FernwickTreeSyncer --watch-' '--watch-delay= [nospace]'
expect 'FernwickTreeSyncer --ve' '--version'
expect 'FernwickTreeSyncer --dr' '--dry-run'
# Each once (--exclude again and again); --version and --help alone.
expect 'FernwickTreeSyncer --stats --st' ''
expect 'FernwickTreeSyncer -n --dry' ''
expect 'FernwickTreeSyncer --stats --ve' ''
expect 'FernwickTreeSyncer --exclude=*.tmp --exc' '--exclude-from= --exclude='
expect 'FernwickTreeSyncer --version ' ''
# The values.
expect 'FernwickTreeSyncer --links=' 'follow keep skip'
expect 'FernwickTreeSyncer --links=k' 'keep'
expect 'FernwickTreeSyncer --names=' 'portable'
expect 'FernwickTreeSyncer --compare=' 'attributes content size time [nospace]'
expect 'FernwickTreeSyncer --preserve=owner,' \
  'owner,acls owner,hardlinks owner,xattrs [nospace]'
expect 'FernwickTreeSyncer --preserve=acls,owner,x' 'acls,owner,xattrs [nospace]'
expect 'FernwickTreeSyncer --jobs=' 'auto'
expect 'FernwickTreeSyncer --rescan=' ''
expect 'FernwickTreeSyncer --backup-dir=' 'alpha beta'
expect 'FernwickTreeSyncer --exclude-from=f' 'file.txt'
expect 'FernwickTreeSyncer --report=' 'alpha beta file.txt'
# The two folders, after the switches.
expect 'FernwickTreeSyncer ' 'alpha beta'
expect 'FernwickTreeSyncer --stats a' 'alpha'
expect 'FernwickTreeSyncer --links=keep alpha b' 'beta'
expect 'FernwickTreeSyncer alpha beta ' ''
expect 'FernwickTreeSyncer alpha --st' ''

# Where '=' does not break words, bash replaces the whole word: the switch
# comes with each value.
COMP_WORDBREAKS=${COMP_WORDBREAKS//=/}
expect 'FernwickTreeSyncer --links=k' '--links=keep'
expect 'FernwickTreeSyncer --preserve=owner,a' '--preserve=owner,acls [nospace]'
expect 'FernwickTreeSyncer --backup-dir=al' '--backup-dir=alpha'
expect 'FernwickTreeSyncer --exclude=a --ex' '--exclude-from= --exclude='

((failed == 0)) && echo "PASSED"
exit "$failed"
