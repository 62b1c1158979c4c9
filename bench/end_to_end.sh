#!/bin/sh
# rgrender against oiiotool on one large composite as a user runs it: a
# 6000x4000 RGB PNG with a 4000x2660 RGBA PNG over it at (1000, 700), written
# as an 8-bit zip TIFF, then a 16x16 corner of the same scene. The pictures
# are generated (gradients under Gaussian noise, which compress about as
# badly as photographs do). Prints each run's wall time, interleaved.
#   usage: bench/end_to_end.sh [RGRENDER] [RUNS]   (from the project root)
set -eu
RGRENDER=$(realpath "${1:-build/tools/rgrender}")
RUNS=${2:-3}
DIR=${E2E_DIR:-/tmp/rg_end_to_end}
mkdir -p "$DIR" && cd "$DIR"
if [ ! -f bg.png ]; then
  oiiotool --pattern fill:topleft=0.1,0.3,0.6:topright=0.8,0.6,0.2:bottomleft=0.2,0.5,0.1:bottomright=0.9,0.9,0.8 6000x4000 3 \
    --pattern noise:type=gaussian:mean=0:stddev=0.06 6000x4000 3 --add -d uint8 -o bg.png
  oiiotool --pattern fill:topleft=0.9,0.2,0.2,1:topright=0.2,0.9,0.3,0.6:bottomleft=0.1,0.1,0.9,0.3:bottomright=1,1,0.2,1 4000x2660 4 \
    --pattern noise:type=gaussian:mean=0:stddev=0.05 4000x2660 4 --add --clamp:min=0:max=1 -d uint8 -o fg.png
fi
for space in linear raw; do
  cat > "scene_$space.json" <<JSON
{"width": 6000, "height": 4000, "output": "over", "colorspace": "$space",
 "nodes": [{"id": "bg", "type": "image", "file": "bg.png"},
           {"id": "fg", "type": "image", "file": "fg.png", "position": [1000, 700]},
           {"id": "over", "type": "composite", "source": "fg", "destination": "bg"}]}
JSON
done
seconds() { /usr/bin/time -f %e "$@" 2>&1 >/dev/null | tail -1; }
for i in $(seq "$RUNS"); do
  echo "run $i: rgrender $(seconds "$RGRENDER" scene_linear.json -o rg.tif -d 8 -q) s," \
    "raw $(seconds "$RGRENDER" scene_raw.json -o rg_raw.tif -d 8 -q) s," \
    "oiiotool $(seconds oiiotool fg.png --origin +1000+700 bg.png --ch R,G,B,A=1.0 --over -d uint8 -o oiio.tif) s," \
    "16x16 rect $(seconds "$RGRENDER" scene_linear.json -o rect.tif -d 8 -q --rect 0,0,16,16) s"
done
