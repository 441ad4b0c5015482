#!/usr/bin/env bash
# cmake --install into a scratch prefix, the prefix moved elsewhere, and the
# moved rhl run: it finds its module, the module its library, and rhl the
# bundled sample, all relative to where they now are.
set -euo pipefail
build=$1
scratch=$(mktemp -d /tmp/rhl-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build" --prefix "$scratch/first" >/dev/null
mv "$scratch/first" "$scratch/moved"
prefix=$scratch/moved
fail() { echo "install-moved: $*" >&2; exit 1; }

for f in bin/rhl lib/ecw-rhl/ECW.RHL lib/ecw-rhl/libncsecwex.so share/ecw-rhl/samples/world.tif \
         share/ecw-rhl/samples/world.url; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
# Search paths relative to each binary; none names the build tree.
[ "$(readelf -d "$prefix/lib/ecw-rhl/ECW.RHL" | sed -n 's/.*R\(UN\)\?PATH.*\[\(.*\)\]/\2/p')" = '$ORIGIN' ] ||
  fail "the module's search path is not \$ORIGIN alone"
for f in bin/rhl lib/ecw-rhl/ECW.RHL lib/ecw-rhl/libncsecwex.so; do
  if readelf -d "$prefix/$f" | grep -E 'R(UN)?PATH' | grep -qF "$(cd "$build" && pwd)"; then
    fail "$f searches the build tree"
  fi
done

cd "$scratch"
"$prefix/bin/rhl" --version | grep -q '^rhl ' || fail "--version"
"$prefix/bin/rhl" render -o world.png -q || fail "render of the bundled sample"
gdalinfo world.png | grep -q '^Size is 2048, 1024' || fail "the sample's size"
"$prefix/bin/rhl" info "$prefix/share/ecw-rhl/samples/world.tif" | grep -q '(EPSG:4326)' ||
  fail "info of the installed sample"
"$prefix/bin/rhl" check "$prefix/lib/ecw-rhl/ECW.RHL" >/dev/null || fail "check of the installed module"
echo "install-moved: the moved install works"
