#!/usr/bin/env bash
# Installs what is missing, builds cuedeck and starts it.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$top/scripts/setup.sh"
"$top/scripts/build.sh" build
exec "$top/build/bin/cuedeck"
