#!/usr/bin/env bash
# Sets up a fresh machine (scripts/setup.sh: Debian packages, Python
# environments, the build) and reads the bundled sample logs, plain,
# compressed and encrypted, printing their frames and metadata.
# Arguments go to examples/show_log.py (files, --frames N, --password).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
exec build/venv/main/bin/python examples/show_log.py "$@"
