#!/usr/bin/env bash
# Builds Replix and opens it with the virtual radio connected as port 1, so a newcomer can
# read a radio and write it back without any hardware. The virtual radio stops when the
# window closes. (With a real cable, run build/replix on its own.)
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh build

ports=$(mktemp -d /tmp/replix-ports.XXXXXX)
build/tools/replix-virtual-radio --port-dir "$ports" --port 1 &
radio=$!
trap 'kill "$radio" 2>/dev/null; wait "$radio" 2>/dev/null; rm -rf "$ports"' EXIT
for _ in $(seq 50); do [ -e "$ports/COM1" ] && break; sleep 0.1; done
REPLIX_PORT_DIR="$ports" build/replix
