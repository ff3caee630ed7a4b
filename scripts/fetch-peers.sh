#!/usr/bin/env bash
# Unpacks the remote cable's test servers, ser2net and sredird, into BUILD/peers, where the
# tests look for them; never installed (the ser2net package would leave a service on localhost
# behind). Their libraries come with scripts/setup.sh. Usage: scripts/fetch-peers.sh BUILD
set -euo pipefail
peers="$1/peers"
for p in ser2net sredird; do
  if [ ! -x "$peers/usr/sbin/$p" ]; then
    mkdir -p "$peers/debs"
    (cd "$peers/debs" && apt-get download "$p" >/dev/null 2>&1 || { apt-get update -qq && apt-get download "$p"; })
    dpkg -x "$(ls "$peers"/debs/"$p"_*.deb | head -n 1)" "$peers"
  fi
done
