#!/usr/bin/env bash
# Whole-process timing of `quarnel assess`: on a generated checkout of 100 000 files (a few
# hundred manifests, some inside skipped directories), on this repository, and once on a
# checkout whose git never answers (.git/HEAD a FIFO), which should take about one git time-out.
# Usage: bench/assess.sh [path-to-quarnel] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
quarnel=${1:-build/quarnel}
runs=${2:-5}
tree=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-bench-XXXXXX")
hung=$(mktemp -d "${TMPDIR:-/tmp}/quarnel-bench-XXXXXX")
trap 'rm -rf "$tree" "$hung"' EXIT

python3 - "$tree" <<'PY'
import os, sys
root = sys.argv[1]
n = 0
for a in range(100):
    for b in range(10):
        d = os.path.join(root, f"pkg{a}", f"mod{b}")
        os.makedirs(d, exist_ok=True)
        for c in range(99):
            with open(os.path.join(d, f"file{c}.py"), "w") as f:
                f.write("x = 1\n")
            n += 1
        if b == 0:
            with open(os.path.join(d, "package.json"), "w") as f:
                f.write('{"name": "pkg%d", "version": "1.0.%d"}' % (a, b))
            with open(os.path.join(d, "__init__.py"), "w") as f:
                f.write('__version__ = "1.0"\n')
            n += 2
    nm = os.path.join(root, f"pkg{a}", "node_modules", "dep")
    os.makedirs(nm, exist_ok=True)
    with open(os.path.join(nm, "package.json"), "w") as f:
        f.write('{"name": "dep", "version": "0.1.0"}')
    n += 1
with open(os.path.join(root, "README.md"), "w") as f:
    f.write("# Bench\n\ndoi: 10.5281/zenodo.1234567\n")
with open(os.path.join(root, "pyproject.toml"), "w") as f:
    f.write('[project]\nname = "bench"\nversion = "1.0.0"\n')
print(f"generated {n} files in {root}", file=sys.stderr)
PY

time_runs() {
  local label=$1; shift
  local best=""
  for _ in $(seq "$runs"); do
    local start end ms
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s%N)
    ms=$(( (end - start) / 1000000 ))
    if [[ -z $best || $ms -lt $best ]]; then best=$ms; fi
  done
  printf '%-40s best of %d: %6d ms\n' "$label" "$runs" "$best"
}

time_runs "assess generated tree (100k files)" "$quarnel" assess "$tree" -q
time_runs "assess generated tree, --jobs 1" "$quarnel" assess "$tree" -q --jobs 1
time_runs "assess this repository" "$quarnel" assess . -q

git -C "$hung" init -q
git -C "$hung" -c user.name=bench -c user.email=bench@example.org commit -q --allow-empty -m x
rm "$hung/.git/HEAD" && mkfifo "$hung/.git/HEAD"
runs=1 time_runs "assess a checkout whose git hangs" "$quarnel" assess "$hung" -q
