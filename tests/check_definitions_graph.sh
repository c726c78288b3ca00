#!/usr/bin/env bash
# vfu-check-definitions --graph, run from another folder as a maker runs it: every inbuilt
# definition (windowed and console mode) becomes a graph that dot renders without a complaint,
# with one node per State, and the checker's warnings leave the exit status 0.
#
# usage: check_definitions_graph.sh <vfu-check-definitions>
set -euo pipefail
checker=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

for device in Quorrel "Halvane XV" Dorrick Vantoline; do
    for console in "" --console; do
        status=0
        "$checker" --inbuilt "$device" $console --graph graph.dot >stdout 2>stderr || status=$?
        [ "$status" -eq 0 ] || { cat stdout stderr >&2; fail "$device $console: exit status $status"; }
        states=$(sed -nE 's/.* states=([0-9]+) .*/\1/p' stdout)
        [ -n "$states" ] || fail "$device $console: no summary line"

        dot -Tsvg graph.dot -o graph.svg 2>dot-stderr || { cat dot-stderr >&2; fail "$device $console: dot refused the graph"; }
        [ ! -s dot-stderr ] || { cat dot-stderr >&2; fail "$device $console: dot warned"; }
        # One node per State and the start mark.
        nodes=$(grep -c 'class="node"' graph.svg || true)
        [ "$nodes" -eq $((states + 1)) ] || fail "$device $console: $nodes nodes for $states States"
    done
done

# The inbuilt Quorrel definition keeps a State that nothing leads to any more.
"$checker" --inbuilt --graph quorrel.dot >/dev/null 2>stderr
grep -qF "warning: State 'Error, no device' cannot be reached from the initial State 'Idle, no device'" stderr \
    || { cat stderr >&2; fail "no warning on the unreachable State"; }

# A graph that cannot be written is an error, and nothing is half-written.
status=0
"$checker" --inbuilt --graph no-such-folder/graph.dot >/dev/null 2>stderr || status=$?
[ "$status" -eq 2 ] || fail "an unwritable graph file gave exit status $status"
grep -qF "cannot write" stderr || fail "no message for an unwritable graph file"

# The graph is written as a MIDI trace is: a FIFO, a folder or a device (as root, a node of the
# test's own standing for /dev/null) is refused and left as it was; a link is followed.
mkfifo fifo.dot
mkdir folder.dot
targets=(fifo.dot folder.dot)
if [ "$(id -u)" -eq 0 ] && mknod null.dot c 1 3 2>/dev/null; then targets+=(null.dot); fi
for target in "${targets[@]}"; do
    status=0
    timeout 20 "$checker" --inbuilt --graph "$target" >/dev/null 2>stderr || status=$?
    [ "$status" -eq 2 ] || fail "a graph into $target gave exit status $status"
    grep -qF "it is not a regular file" stderr || { cat stderr >&2; fail "no reason for refusing $target"; }
done
[ -p fifo.dot ] && [ -d folder.dot ] && { [ ! -e null.dot ] || [ -c null.dot ]; } || fail "a refused target was replaced"
echo "an old graph" >target.dot
ln -s target.dot link.dot
"$checker" --inbuilt --graph link.dot >/dev/null 2>stderr || { cat stderr >&2; fail "a graph through a link"; }
[ -L link.dot ] && grep -q '^digraph' target.dot && ! grep -q "an old graph" target.dot || fail "the link was not followed"

echo "graphs checked"
