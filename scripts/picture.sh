#!/usr/bin/env bash
# Trains a 12 x 12 map on the bundled sample colours, draws it with the
# winners of every colour marked (out/colours.svg), converts the drawing to
# docs/colours.png and prints the map's quality figures on the same data.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh picture
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target somap somap-render
mkdir -p out docs
./build/somap -x 12 -y 12 -i 200 -s out/colours.map < data/colours.tsv > out/colours.winners.tsv
./build/somap-render --winners out/colours.winners.tsv -o out/colours.svg out/colours.map
rsvg-convert -f png -o docs/colours.png out/colours.svg
./build/somap-render --stats data/colours.tsv out/colours.map | tee out/colours.quality.tsv
echo "picture: out/colours.svg, docs/colours.png" >&2
