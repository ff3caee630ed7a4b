#!/usr/bin/env bash
# Builds the tool and opens it.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh build
exec build/replix
