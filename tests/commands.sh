#!/usr/bin/env bash
# Each command the READMEs show in their code blocks, and each in scripts/: --help and -h print
# its usage and exit 0, an unknown option exits non-zero with the usage on stderr, all before
# anything is installed or built. They run in a copy of the sources, where apt-get, sudo, cmake
# and xvfb-run only note that they were called. Takes a few seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/copy" "$work/bin"
tar -c --exclude=./build --exclude=./dist --exclude=./.git --exclude=node_modules . |
    tar -x -C "$work/copy"
for tool in apt-get sudo cmake xvfb-run; do
    printf '#!/bin/sh\necho "%s $*" >>%s/called\nexit 1\n' "$tool" "$work" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
done
cd "$work/copy"
commands=$({ awk '/^```/ { inside = !inside; next } inside { print $1 }' README.md */README.md \
    docs/*.md; ls -d scripts/*; } | sort -u | while read -r path; do
        [ ! -f "$path" ] || [ ! -x "$path" ] || echo "$path"; done)
[ -n "$commands" ] || { echo "No commands found in README.md's code blocks"; exit 1; }

failed=0
fail() { echo "FAIL: $*"; failed=1; }
for command in $commands; do
    for help in --help -h; do
        PATH=$work/bin:$PATH timeout 20 "$command" $help >"$work/out" 2>"$work/err" ||
            fail "$command $help exits with $?: $(cat "$work/err")"
        head -n 1 "$work/out" | grep -q "^Usage: $command" ||
            fail "$command $help prints no 'Usage: $command' line first"
    done
    if PATH=$work/bin:$PATH timeout 20 "$command" --no-such-option >"$work/out" 2>"$work/err"
    then
        fail "$command --no-such-option exits with 0"
    fi
    grep -q "^Usage: $command" "$work/err" ||
        fail "$command --no-such-option gives no usage on stderr"
done
[ ! -e "$work/called" ] || fail "called: $(cat "$work/called")"
[ ! -e build ] && [ ! -e dist ] || fail "build/ or dist/ made"
echo "Checked:" $commands
exit $failed
