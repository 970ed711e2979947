#!/usr/bin/env bash
# End-to-end tests against the real binary inside the sandbox.
#   tests/run_e2e.sh                 every tests/e2e/test_*.py
#   tests/run_e2e.sh test_spine      one file (or a glob: 'test_s*')
#   tests/run_e2e.sh test_spine.SpineTest.test_usage   one test
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
cd "$repo"
if [[ $# -eq 0 ]]; then
    exec "$here/sandbox.sh" python3 -m unittest discover -s tests/e2e -p 'test_*.py' -v
fi
args=()
for a in "$@"; do
    if [[ "$a" == *'*'* || ( "$a" != *.* && "$a" == test_* ) ]]; then
        for f in tests/e2e/$a.py; do args+=("$(basename "$f" .py)"); done
    else args+=("$a"); fi
done
cd tests/e2e
exec "$here/sandbox.sh" python3 -m unittest -v "${args[@]}"
