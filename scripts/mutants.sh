#!/usr/bin/env bash
# Plants listed one-line faults one at a time and checks that the tests catch each of them:
#   scripts/mutants.sh [list file] [selection]
# The list (default scripts/mutants.txt) holds one fault a line, its fields separated by " @@ ":
#   file @@ text on the line @@ replacement @@ ctest regex of the tests that should catch it
#   [@@ equivalent: why it cannot change what the program does]
# Blank lines and lines starting with # are skipped. The text must occur exactly once in the
# file; a fault whose text no longer occurs is reported as stale. Equivalent faults are listed
# and not run. `selection`, an extended regex, keeps only the list lines that match it.
#
# Each fault is built in its own tree (build-mutants, or $MUTANTS_BUILD_DIR) with
# $MUTANTS_JOBS (2) jobs; its tests run under a time limit of three times their clean run
# (at least $MUTANTS_MIN_TIMEOUT, 60 s): a run past it is a hang, counted as caught and
# reported. The file is put back byte for byte after each fault, also on Ctrl-C. Logs are in
# the build tree: mutants.log (one line per fault) and mutant-N.log (the build and test output
# of the fault on line N of the list).
# Exit status 0 when every fault that was run was caught.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
list=${1:-$top/scripts/mutants.txt}
selection=${2:-}
build=${MUTANTS_BUILD_DIR:-$top/build-mutants}
log=$build/mutants.log
jobs=${MUTANTS_JOBS:-2}
min_timeout=${MUTANTS_MIN_TIMEOUT:-60}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
sep=' @@ '

[[ -f $list ]] || { echo "no such list: $list" >&2; exit 2; }
command -v perl >/dev/null || { echo "perl is needed" >&2; exit 2; }

backup=$(mktemp)
mutated=
restore() {
    if [[ -n $mutated ]]; then
        # Copying the content (not the file) gives it a new time, so the next build of any
        # tree compiles the original again.
        cat "$backup" >"$mutated"
        mutated=
    fi
}
exec 3>&1 # the terminal, also while a build's output goes to a log
# Builds and tests run in the background, so that a Ctrl-C reaches this script at once (the
# test runner under `timeout` is in a process group of its own): it stops them and leaves.
child=
background() {
    "$@" &
    child=$!
    wait "$child"
    local rc=$?
    child=
    return "$rc"
}
interrupted() {
    [[ -n $child ]] && kill -TERM "$child" 2>/dev/null && wait "$child" 2>/dev/null
    restore
    echo "interrupted: $top is as it was" | tee -a "$log" 2>/dev/null >&3
    exit 130
}
trap 'restore; rm -f "$backup"' EXIT
trap interrupted INT TERM

if [[ ! -f $build/build.ninja ]]; then
    launcher=()
    command -v ccache >/dev/null &&
        launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
        >/dev/null || exit 2
fi
: >"$log"
say() { echo "$*" | tee -a "$log"; }

# The test programs that a regex selects (each test is built by a target of its name).
targets_of() { ctest --test-dir "$build" -N -R "$1" | sed -n 's/^ *Test *#[0-9]*: //p'; }

# Builds the targets a regex selects; then runs them: 0 passed, 1 failed, 2 hung.
build_for() {
    local t
    t=$(targets_of "$1")
    [[ -n $t ]] || { echo "no test matches $1"; return 1; }
    # shellcheck disable=SC2086
    background cmake --build "$build" --parallel "$jobs" --target $t
}
run_tests() { # regex, seconds
    background timeout --kill-after=10 "$2" ctest --test-dir "$build" -R "$1" --output-on-failure
    local rc=$?
    ((rc == 124 || rc == 137)) && return 2
    ((rc == 0)) && return 0
    return 1
}

declare -A limit
caught=0 survived=0 hangs=0 stale=0 broken=0 equivalent=0
survivors=() hung=()
lineno=0
while IFS= read -r line || [[ -n $line ]]; do
    lineno=$((lineno + 1))
    [[ -z ${line// /} || $line == \#* ]] && continue
    [[ -n $selection ]] && ! grep -Eq -- "$selection" <<<"$line" && continue
    rest=$line fields=()
    while [[ $rest == *"$sep"* ]]; do
        fields+=("${rest%%"$sep"*}")
        rest=${rest#*"$sep"}
    done
    fields+=("$rest")
    if ((${#fields[@]} < 4)); then
        say "line $lineno: needs file, text, replacement and tests: $line"
        broken=$((broken + 1))
        continue
    fi
    file=${fields[0]} find=${fields[1]} repl=${fields[2]} regex=${fields[3]} mark=${fields[4]:-}
    what="line $lineno, $file: '$find' -> '$repl'"
    if [[ $mark == equivalent* ]]; then
        say "equivalent $what (${mark#equivalent})"
        equivalent=$((equivalent + 1))
        continue
    fi
    path=$top/$file
    count=0
    [[ -f $path ]] && count=$(FIND=$find perl -0777 -ne 'print scalar(() = /\Q$ENV{FIND}\E/g)' "$path")
    if ((count != 1)); then
        say "stale      $what (the text occurs $count times)"
        stale=$((stale + 1))
        continue
    fi

    # A clean run of these tests first, once per regex: a fault is only caught by tests that
    # pass without it. It also sets the time limit.
    if [[ -z ${limit[$regex]:-} ]]; then
        start=$SECONDS
        if ! build_for "$regex" >"$build/clean.log" 2>&1 ||
            ! run_tests "$regex" 1800 >>"$build/clean.log" 2>&1; then
            say "the tests '$regex' fail without any fault (see $build/clean.log): stopping"
            exit 2
        fi
        seconds=$((3 * (SECONDS - start)))
        limit[$regex]=$((seconds > min_timeout ? seconds : min_timeout))
    fi

    cp "$path" "$backup"
    mutated=$path
    FIND=$find REPL=$repl perl -0777 -i -pe 's/\Q$ENV{FIND}\E/$ENV{REPL}/' "$path"
    out=$build/mutant-$lineno.log
    start=$SECONDS
    if ! build_for "$regex" >"$out" 2>&1; then
        restore
        say "broken     $what (does not build, see $out)"
        broken=$((broken + 1))
        continue
    fi
    run_tests "$regex" "${limit[$regex]}" >>"$out" 2>&1
    rc=$?
    restore
    if ! cmp -s "$backup" "$path"; then
        say "could not put $file back as it was: stopping"
        exit 2
    fi
    took="$regex, $((SECONDS - start)) s"
    case $rc in
    0)
        say "SURVIVED   $what ($took)"
        survived=$((survived + 1))
        survivors+=("$what")
        ;;
    1)
        say "caught     $what ($took)"
        caught=$((caught + 1))
        ;;
    2)
        say "HANG       $what (past ${limit[$regex]} s: counted as caught)"
        caught=$((caught + 1))
        hangs=$((hangs + 1))
        hung+=("$what")
        ;;
    esac
done <"$list"

total=$((caught + survived))
say ""
say "caught $caught of $total faults$( ((total > 0)) && echo " ($((100 * caught / total)) %)")"
say "hangs $hangs, stale $stale, broken $broken, equivalent (not run) $equivalent"
for s in "${survivors[@]}"; do say "  survived: $s"; done
for s in "${hung[@]}"; do say "  hang: $s"; done
((survived == 0 && stale == 0 && broken == 0))
