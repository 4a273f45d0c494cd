#!/usr/bin/env bash
# Installs what is missing, builds, and runs the demo on the simulated machine;
# with --wine, runs the demo client against the real drivers under Wine.
# Other arguments are passed to the demo.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
cd "$BRISKLINK_ROOT"

scripts/install-deps.sh
scripts/build.sh
if [[ ${1:-} == --wine ]]; then
    shift
    exec scripts/wine-run.sh --demo -- "$@"
fi
demo=build/host/tools/demo/brisklink-demo
if [[ ! -x $demo ]]; then
    echo "demo: $demo was not built (tools/demo has no sources yet)" >&2
    exit 1
fi
exec "$demo" "$@"
