#!/usr/bin/env bash
# Sets up, builds and runs the demo on the bundled sample data.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh" build
"$root/build/bin/animator_host" --data "$root/data" "$@"
