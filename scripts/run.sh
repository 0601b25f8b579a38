#!/usr/bin/env bash
# The main job: build, then browse the example database with the scenario runner.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh release
build/tools/kivsdp-sim/kivsdp-sim --core tools/kivsdp-sim/examples/browse.sim
