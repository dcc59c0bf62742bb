#!/usr/bin/env bash
# The mutation command: each mutant of scripts/mutants.txt planted alone in a
# scratch clone of the committed tree (build-mutate-ARCH/), the test programs
# of its module run against it, and a score per module.
#   bash scripts/mutate.sh [--list] [--only ID...] [--arch x86_64] [--timeout S]
exec python3 "$(dirname "$0")/mutate.py" "$@"
