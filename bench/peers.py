#!/usr/bin/python3
"""The requests of bench/serve-peers and the pixels of their answers.

  peers.py requests IMAGE [--per-level N] [--seed S]
      the GetMap boxes of the three sets, one a line:
      set <tab> label <tab> CRS <tab> BBOX (in the CRS's WMS 1.3.0 axis order)
      <tab> gdalwarp -te (x, y order)
  peers.py layer CAPABILITIES STEM
      the name of the layer a WMS 1.3.0 capabilities document gives the image
  peers.py compare IMAGE REQUESTS FOLDER SERVER... [--threshold T] [--size N]
      each server's answers (FOLDER/SERVER/INDEX) against gdalwarp of the same
      request with -r average and -r bilinear, one line a set, server and
      resampling: set, server, resampling, tiles, mean absolute difference,
      share of pixels differing by more than T in a band; per label (scale or
      level) too, after the sets, with "label:" before the set
"""
import argparse
import math
import random
import sys
import xml.etree.ElementTree as ET

from osgeo import gdal, osr

gdal.UseExceptions()
HALF_WORLD = 20037508.342789244  # EPSG:3857's half extent, metres
TILE = 256


def epsg_of(ds):
    srs = osr.SpatialReference(wkt=ds.GetProjection())
    srs.AutoIdentifyEPSG()
    code = srs.GetAuthorityCode(None)
    if not code:
        sys.exit("peers.py: the image's CRS has no EPSG code; the WMS requests need one")
    return int(code), srs


def wms_order(code):
    """Whether WMS 1.3.0 gives this CRS's boxes north first (EPSG's axis order)."""
    srs = osr.SpatialReference()
    srs.ImportFromEPSG(code)
    return bool(srs.EPSGTreatsAsLatLong() or srs.EPSGTreatsAsNorthingEasting())


def fmt(v):
    return repr(float(v))


def box_line(kind, label, code, minx, miny, maxx, maxy):
    swap = wms_order(code)
    bbox = (miny, minx, maxy, maxx) if swap else (minx, miny, maxx, maxy)
    return "\t".join([kind, label, "EPSG:%d" % code, ",".join(fmt(v) for v in bbox),
                      " ".join(fmt(v) for v in (minx, miny, maxx, maxy))])


def pick(rng, count, per_level):
    return sorted(rng.sample(range(count), min(count, per_level)))


def own_grid(ds, code, rng, per_level):
    """Boxes on the image's pixels at whole reductions 1, 1/2, 1/4...: each
    box covers 256 x 256 output pixels of r x r source pixels, on the grid of
    such boxes from the image's corner, wholly inside the image."""
    gt = ds.GetGeoTransform()
    lines = []
    r = 1
    while TILE * r <= min(ds.RasterXSize, ds.RasterYSize):
        span = TILE * r
        nx, ny = ds.RasterXSize // span, ds.RasterYSize // span
        for i in pick(rng, nx * ny, per_level):
            px, py = (i % nx) * span, (i // nx) * span
            minx, maxy = gt[0] + px * gt[1], gt[3] + py * gt[5]
            lines.append(box_line("own", "1:%d" % r, code, minx, maxy + span * gt[5],
                                  minx + span * gt[1], maxy))
        r *= 2
    return lines


def off_grid(ds, code, rng, per_level):
    """Boxes shifted by fractions of a pixel, at scales that are no whole
    reduction (and one that enlarges), wholly inside the image."""
    gt = ds.GetGeoTransform()
    lines = []
    for scale in (0.7, 1.0, 1.5, 2.7, 5.3, 11.0, 23.0):
        span = TILE * scale
        if span > min(ds.RasterXSize, ds.RasterYSize):
            continue
        for _ in range(per_level):
            px = round(rng.uniform(0, ds.RasterXSize - span), 3)
            py = round(rng.uniform(0, ds.RasterYSize - span), 3)
            if px == int(px):
                px += 0.375
            if py == int(py):
                py += 0.625
            minx, maxy = gt[0] + px * gt[1], gt[3] + py * gt[5]
            lines.append(box_line("off", "x%g" % scale, code, minx, maxy + span * gt[5],
                                  minx + span * gt[1], maxy))
    return lines


def mercator(ds, srs, rng, per_level):
    """Web Mercator tiles (the XYZ scheme) wholly inside the image, from
    level 1 to one level finer than the image's own resolution at the
    equator."""
    gt = ds.GetGeoTransform()
    res = abs(gt[1]) * (111319.49079327357 if srs.IsGeographic() else srs.GetLinearUnits())
    finest = max(1, round(math.log2(2 * HALF_WORLD / (TILE * res)))) + 1
    web = osr.SpatialReference()
    web.ImportFromEPSG(3857)
    for s in (web, srs):
        s.SetAxisMappingStrategy(osr.OAMS_TRADITIONAL_GIS_ORDER)
    to_image = osr.CoordinateTransformation(web, srs)
    w, h = ds.RasterXSize, ds.RasterYSize
    left, top = gt[0], gt[3]
    right, bottom = left + w * gt[1], top + h * gt[5]

    def inside(minx, miny, maxx, maxy):
        for k in range(9):
            fx, fy = (k % 3) / 2, (k // 3) / 2
            x, y, _ = to_image.TransformPoint(minx + fx * (maxx - minx), miny + fy * (maxy - miny))
            if not (left <= x <= right and bottom <= y <= top):
                return False
        return True

    lines = []
    for z in range(1, finest + 1):
        n = 2 ** z
        size = 2 * HALF_WORLD / n
        tiles = []
        for i in range(n * n):
            x, y = i % n, i // n
            box = (-HALF_WORLD + x * size, HALF_WORLD - (y + 1) * size,
                   -HALF_WORLD + (x + 1) * size, HALF_WORLD - y * size)
            tiles.append(box)
        rng.shuffle(tiles)
        chosen = [b for b in tiles[:per_level * 8] if inside(*b)][:per_level]
        for box in chosen:
            lines.append(box_line("3857", "z%d" % z, 3857, *box))
    return lines


def cmd_requests(args):
    ds = gdal.Open(args.image)
    code, srs = epsg_of(ds)
    rng = random.Random(args.seed)
    for line in (own_grid(ds, code, rng, args.per_level) + off_grid(ds, code, rng, args.per_level)
                 + mercator(ds, srs, rng, args.per_level)):
        print(line)


def cmd_layer(args):
    ns = {"w": "http://www.opengis.net/wms"}
    root = ET.parse(args.capabilities).getroot()
    leaves = [l.findtext("w:Name", namespaces=ns) for l in root.iter("{http://www.opengis.net/wms}Layer")
              if l.find("w:Layer", ns) is None and l.findtext("w:Name", namespaces=ns)]
    if not leaves:
        sys.exit("peers.py: no named layer in %s" % args.capabilities)
    match = [n for n in leaves if args.stem in n]
    print((match or leaves)[0])


def read_rgb(path, size):
    """The answer's RGB, composited over black where it has alpha; None where
    it is no image of the asked size."""
    try:
        ds = gdal.Open(path)
    except RuntimeError:
        return None
    if ds is None or ds.RasterXSize != size or ds.RasterYSize != size or ds.RasterCount < 3:
        return None
    a = ds.ReadAsArray().astype("int32")
    rgb = a[:3]
    if ds.RasterCount >= 4:
        rgb = rgb * a[3] // 255
    return rgb


def warped(image, te, crs, alg, size):
    out = "/vsimem/peers-ref.tif"
    gdal.Warp(out, image, options="-q -of GTiff -te %s -ts %d %d -t_srs %s -r %s"
              % (te, size, size, crs, alg))
    ds = gdal.Open(out)
    a = ds.ReadAsArray()[:3].astype("int32")
    ds = None
    gdal.Unlink(out)
    return a


def cmd_compare(args):
    import numpy as np
    rows = [l.rstrip("\n").split("\t") for l in open(args.requests) if l.strip()]
    # (set or label, server, resampling) -> [tiles, sum of |d|, samples, pixels over, pixels]
    sums = {}
    for index, (kind, label, crs, _bbox, te) in enumerate(rows):
        answers = {s: read_rgb("%s/%s/%d" % (args.folder, s, index), args.size) for s in args.servers}
        for alg in ("average", "bilinear"):
            ref = warped(args.image, te, crs, alg, args.size)
            for server, rgb in answers.items():
                if rgb is None:
                    continue
                d = np.abs(rgb - ref)
                over = int((d.max(axis=0) > args.threshold).sum())
                for key in ((kind, server, alg), ("label:" + kind + ":" + label, server, alg)):
                    s = sums.setdefault(key, [0, 0, 0, 0, 0])
                    s[0] += 1
                    s[1] += int(d.sum())
                    s[2] += d.size
                    s[3] += over
                    s[4] += d.shape[1] * d.shape[2]
    for (key, server, alg), s in sorted(sums.items(), key=lambda kv: kv[0][0].startswith("label:")):
        print("\t".join([key, server, alg, str(s[0]), "%.3f" % (s[1] / s[2]), "%.5f" % (s[3] / s[4])]))


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = p.add_subparsers(dest="cmd", required=True)
    r = sub.add_parser("requests")
    r.add_argument("image")
    r.add_argument("--per-level", type=int, default=12)
    r.add_argument("--seed", type=int, default=17)
    r.set_defaults(run=cmd_requests)
    l = sub.add_parser("layer")
    l.add_argument("capabilities")
    l.add_argument("stem")
    l.set_defaults(run=cmd_layer)
    c = sub.add_parser("compare")
    c.add_argument("image")
    c.add_argument("requests")
    c.add_argument("folder")
    c.add_argument("servers", nargs="+")
    c.add_argument("--threshold", type=int, default=4)
    c.add_argument("--size", type=int, default=TILE)
    c.set_defaults(run=cmd_compare)
    args = p.parse_args()
    args.run(args)


if __name__ == "__main__":
    main()
