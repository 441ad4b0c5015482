# What the benchmark scripts share; sourced by them, never run. Expects
# $root (the repository) to be set.

data=${BENCH_DATA:-$root/build/bench}
mkdir -p "$data"

# The generated images: the xplanet earth image scaled up, georeferenced in
# EPSG:4326 over the whole globe.
earth=/usr/share/xplanet/images/earth.jpg
geo=(-a_srs EPSG:4326 -a_ullr -180 90 180 -90)
jpeg=(-co TILED=YES -co COMPRESS=JPEG -co PHOTOMETRIC=YCBCR)
jpeg_ovr=(-r average --config COMPRESS_OVERVIEW JPEG --config PHOTOMETRIC_OVERVIEW YCBCR)

make_image() {  # name, gdal_translate options..., --, gdaladdo options...
  # Makes $data/name once (overviews 2 to 32 where gdaladdo options are
  # given) and a link file naming it, $data/name-without-.tif.url.
  local name=$1 out=$data/$1
  shift
  local translate=() addo=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do translate+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  addo=("$@")
  if [ ! -f "$out" ]; then
    echo "making $name..." >&2
    gdal_translate -q "${translate[@]}" "${geo[@]}" "$earth" "$data/tmp-$name"
    [ ${#addo[@]} -gt 0 ] && gdaladdo -q "${addo[@]}" "$data/tmp-$name" 2 4 8 16 32
    mv "$data/tmp-$name" "$out"
  fi
  printf '%s\n' "$out" > "$data/${name%.*}.url"
}

# 16384 x 8192, 256 x 256 JPEG tiles (YCbCr), averaged overviews 2 to 32.
make_rgb16k() { make_image rgb16k.tif -outsize 16384 8192 -r bilinear "${jpeg[@]}" -- "${jpeg_ovr[@]}"; }

median() { sort -g | awk '{v[NR]=$1} END {print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

free_port() {  # a loopback port nothing answers on
  local port=$((20000 + RANDOM % 20000))
  while curl -s -o /dev/null "http://127.0.0.1:$port/"; do port=$((20000 + RANDOM % 20000)); done
  echo "$port"
}

put_section() {  # file, marker, new part: the file's part from the marker line
  # to the next marker line (or the end) becomes the new part, or the new
  # part is added at the end. Markers are lines "<!-- bench/NAME -->".
  local file=$1 marker="<!-- $2 -->" part=$3 tmp
  tmp=$(mktemp)
  [ -f "$file" ] || : > "$file"
  awk -v m="$marker" -v part="$part" '
    function emit() { print m; while ((getline line < part) > 0) print line; done = 1 }
    $0 == m { emit(); skip = 1; next }
    /^<!-- bench\/[a-z-]* -->$/ { if (skip) print ""; skip = 0 }
    !skip { print }
    END { if (!done) { if (NR) print ""; emit() } }' "$file" > "$tmp"
  mv "$tmp" "$file"
}

tile_mix() {  # base URL, output file: the mix of the first image's tiles
  # Up to 16 tiles of each level of its pixel frame (/tiles/), spread over
  # the level's grid, one path a line. Sets id, width, height and top (the
  # top level) from /api/images, kept in $data/images.json.
  curl -sf "$1/api/images" > "$data/images.json"
  field() { sed -n "s/.*\"$1\":\"\{0,1\}\([^],}\"]*\).*/\1/p" "$data/images.json" | head -1; }
  id=$(field id); width=$(field width); height=$(field height); top=$(field top_level)
  : > "$2"
  local z span nx ny step i k
  for z in $(seq 0 "$top"); do
    span=$(( 256 << (top - z) ))
    nx=$(( (width + span - 1) / span )); ny=$(( (height + span - 1) / span ))
    step=$(( nx * ny / 16 )); [ "$step" -ge 1 ] || step=1
    for (( i = 0, k = 0; i < nx * ny && k < 16; i += step, k++ )); do
      echo "/tiles/$id/$z/$(( i % nx ))/$(( i / nx )).png" >> "$2"
    done
  done
}
