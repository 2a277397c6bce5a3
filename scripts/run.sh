#!/usr/bin/env bash
# The main job: set up, build, and run Tarnwick in the foreground with simulated devices.
# It serves from ./run (its Log folder lands there) and prints the address it listens on.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
cmake --preset linux -S "$here" >/dev/null
cmake --build "$here/build/linux" --target Tarnwick
mkdir -p "$here/run"
cd "$here/run"
echo "Demo page and client: see README.md (web/). Stop with Ctrl+C."
TARNWICK_SIM=1 exec "$here/build/linux/service/Tarnwick" console
