#!/bin/bash
# The bash completion of the source tree, as bash-completion runs it: what it
# offers after each kind of command line.
#
# usage: check_bash_completion.sh COMPLETION_FILE
set -euo pipefail
completion=$1
if [ ! -f /usr/share/bash-completion/bash_completion ]; then
  echo "SKIP: bash-completion is not installed"
  exit 0
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
mkdir -p "$root/data"
printf '[Tunnel:0]\r\nTunnelCaption=news\r\n\r\n[Tunnel:1]\r\nTunnelCaption=mail\r\n\r\n' >"$root/data/sorvik.ini"
fail=0

# What completing the last word of "sorvik WORDS..." offers, sorted, one line.
complete_line() {
  HOME="$root/home" XDG_CONFIG_HOME="$root/none" bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"; shift
    COMP_WORDS=(sorvik "$@"); COMP_CWORD=$#
    COMP_LINE="${COMP_WORDS[*]}"; COMP_POINT=${#COMP_LINE}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
    _sorvik sorvik "${COMP_WORDS[COMP_CWORD]}" "$prev"
    printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@" | sort -u | tr '\n' ' ' | sed 's/ $//'
}

# Each case: the words after "sorvik" (the last one is completed), then what
# is offered.
check() {
  local expected=${!#}
  local words=("${@:1:$#-1}")
  local got
  got=$(complete_line "${words[@]}")
  if [ "$got" != "$expected" ]; then
    echo "FAIL: sorvik ${words[*]}<TAB> offers '$got', expected '$expected'" >&2
    fail=1
  fi
}

d=$root/data
# --json only after status
check -- '--data-dir --headless --help --login --show-cert --test --version'
check status -- '--data-dir --json'
check start news -- '--data-dir'
check --data-dir "$d" --j ''
# an option given is not offered again
check --data-dir "$d" -- '--headless --help --login --show-cert --test --version'
check status --json -- '--data-dir'
check status --json --data-dir "$d" -- ''
check --headless --login -- '--data-dir --help --show-cert --test --version'
# captions after start and stop, wherever --data-dir stands
check --data-dir "$d" start '' 'mail news'
check start --data-dir "$d" '' 'mail news'
check stop --data-dir "$d" m 'mail'
check start --data-dir="$d" n 'news'
check --data-dir "$d" --show-cert n 'news'
# one caption only; no command after a command
check --data-dir "$d" start news '' ''
check status '' ''
check st 'start status stop'

[ $fail = 0 ] && echo "bash completion: all checks passed"
exit $fail
