#!/usr/bin/env bash
# Builds somap and runs it on the bundled sample colours: trains a 12 x 12
# map, saves it, then applies the saved map to the same data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target somap
mkdir -p out
./build/somap -x 12 -y 12 -i 200 -s out/colours.map < data/colours.tsv > out/colours.trained.tsv
./build/somap -a out/colours.map < data/colours.tsv > out/colours.applied.tsv
echo "map: out/colours.map; winners: out/colours.applied.tsv (first lines below)" >&2
head -5 out/colours.applied.tsv
