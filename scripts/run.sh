#!/usr/bin/env bash
# Sets everything up, builds the player and starts it. On the first run the
# default station list is put beside the executable.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
cmake --build build/release --target tunewell
folder=build/release/app
[ -e "$folder/favorites.cfg" ] || cp data/favorites.cfg "$folder/favorites.cfg"
exec "$folder/tunewell"
