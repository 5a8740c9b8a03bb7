#!/bin/sh
# The reference agent's tests, run from the repository root as CI runs them.
cd "$(dirname "$0")/.." && exec python3 -m unittest discover -s reference-agent/tests -t reference-agent "$@"
