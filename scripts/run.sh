#!/usr/bin/env bash
# The main job: set up, build, and run Tarnwick in the foreground with simulated devices.
# It serves from ./run (its Log folder lands there) and prints the address it listens on.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh" --main
# Configured once; later changes to the build files reconfigure from within the build.
if [ ! -f "$here/build/linux/build.ninja" ]; then
  cmake --preset linux -S "$here" >/dev/null
fi
# The service with everything it starts or loads (capture program, libraries, stand-ins).
cmake --build "$here/build/linux" --target Tarnwick
mkdir -p "$here/run"
cd "$here/run"
# The demo page comes from its own small server, on another origin than the service, as a
# customer's page would.
node "$here/web/serve.mjs" "${TARNWICK_DEMO_PORT:-8080}" &
demo=$!
trap 'kill $demo 2>/dev/null' EXIT
echo "Open the demo page in a browser; Ctrl+C stops both."
TARNWICK_SIM=1 "$here/build/linux/service/Tarnwick" console
