#!/usr/bin/env bash
# completion_test.sh BASTORCTL COMPLETION: the bash completion offers exactly
# the commands and options bastorctl's own --help lists, and the values each
# option takes. bash-completion's helpers are stood in for.
set -euo pipefail
bastorctl=$1
failures=0

_init_completion() {
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
}
_filedir() { COMPREPLY=("<files${1:+ $1}>"); }
_command_offset() { COMPREPLY=("<command from word $1>"); }
# shellcheck source=/dev/null
source "$2"

# offered WORD...: what completing the last WORD offers, sorted, on one line.
offered() {
    COMP_WORDS=(bastorctl "$@")
    COMP_CWORD=$#
    COMPREPLY=()
    _bastorctl
    printf '%s\n' "${COMPREPLY[@]}" | sort | paste -sd' '
}
expect() {
    local what=$1 want=$2 got=$3
    if [ "$got" != "$want" ]; then
        echo "FAIL: $what: offered '$got', expected '$want'" >&2
        failures=$((failures + 1))
    fi
}
# Long options in a --help text, sorted.
options_in() { grep -oE '(^|[ ,])--[a-z-]+' | grep -oE -- '--[a-z-]+' | sort -u | paste -sd' '; }

commands=$("$bastorctl" --help | sed -n '/^Subcommands:/,/^$/p' | awk 'NF && !/:$/ { print $1 }')
global=$("$bastorctl" --help | sed '/^Subcommands:/,$d' | options_in)
expect "commands" "$(printf '%s\n' $commands | sort | paste -sd' ')" "$(offered '')"
expect "global options" "$global" "$(offered -)"
for command in $commands; do
    want=$("$bastorctl" "$command" --help | options_in)
    [ "$command" != run ] || want="-- $want"
    got=$(offered "$command" -)
    case $command in auto-approval | audit) got=$(offered "$command" on -) ;; esac
    expect "options of $command" "$want" "$got"
done

events=$("$bastorctl" log --help | grep -oE '\(requested[^)]*\)' | tr -d '(),' | tr ' ' '\n' | sort | paste -sd' ')
expect "--event values" "$events" "$(offered log --event '')"
expect "--event prefix" "timed_out" "$(offered log --limit 5 --event ti)"
expect "switch values" "off on" "$(offered --socket /tmp/s audit '')"
expect "--cwd" "<files -d>" "$(offered run --cwd '')"
expect "after --" "<command from word 5>" "$(offered run --reason why -- ec)"
expect "call methods" "getState" "$(offered call getS)"
[ "$failures" -eq 0 ] && echo "bash completion: all checks passed"
