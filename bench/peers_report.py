#!/usr/bin/python3
"""bench/serve-peers's part of bench/SERVE.md, from the figures it left in
its folder (memory.txt, runs.txt, fetch.txt, pixels.txt, requests.tsv)."""
import argparse
import collections
import datetime
import os
import statistics

NAMES = {"mapserver": "MapServer", "rhl": "rhl serve"}
SETS = [("own", "own grid"), ("off", "off grid"), ("3857", "EPSG:3857")]
TARGETS = {"own": 5.0, "off": 2.0, "3857": 2.0}


def rows(path):
    if not os.path.exists(path):
        return []
    return [line.split() for line in open(path) if line.strip()]


def mib(kib):
    return "%.0f MiB" % (int(kib) / 1024)


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("folder")
    for name in ("command", "image", "cachemax", "procs", "servers", "clk_tck", "cores", "gdal",
                 "mapserver", "load", "nginx_errors", "rhl_refusals"):
        p.add_argument("--" + name.replace("_", "-"), required=True)
    a = p.parse_args()
    f = a.folder
    servers = a.servers.split()
    tck = float(a.clk_tck)

    # runs: pass server set connections requests seconds p50 p99 socket-errors bad cpu-ticks
    runs = collections.defaultdict(list)
    errors = collections.Counter()
    for r in rows(os.path.join(f, "runs.txt")):
        pas, server, kind, conns = r[0], r[1], r[2], int(r[3])
        n, secs, p50, p99, sock, bad, ticks = int(r[4]), float(r[5]), float(r[6]), float(r[7]), \
            int(r[8]), int(r[9]), int(r[10])
        waited = int(r[11]) / 1e9 / secs if len(r) > 11 else float("nan")
        errors[server] += sock + bad
        errors[(server, kind)] += sock + bad
        if pas != "0":
            runs[(server, kind, conns)].append((n / secs, p50, p99, ticks / tck * 1000 / max(n, 1), waited))
    med = {k: [statistics.median(x[i] for x in v) for i in range(5)] for k, v in runs.items()}
    conns = sorted({k[2] for k in med})

    # fetch: server set index status bytes type
    sizes = collections.defaultdict(list)
    for r in rows(os.path.join(f, "fetch.txt")):
        server, kind, status, size = r[0], r[1], r[3], int(r[4])
        ctype = r[5] if len(r) > 5 else ""
        if status != "200" or not ctype.startswith("image/"):
            errors[server] += 1
            errors[(server, kind)] += 1
        else:
            sizes[(server, kind)].append(size)

    memory = {(r[0], r[1]): (int(r[2]), int(r[3]), int(r[4])) for r in rows(os.path.join(f, "memory.txt"))}
    pixels = {}
    labels = collections.defaultdict(dict)
    for line in open(os.path.join(f, "pixels.txt")):
        kind, server, alg, tiles, mad, share = line.split("\t")
        if kind.startswith("label:"):
            _, k, label = kind.split(":", 2)
            labels[(k, label)][(server, alg)] = (float(mad), float(share))
        else:
            pixels[(kind, server, alg)] = (int(tiles), float(mad), float(share))
    requests = [line.rstrip("\n").split("\t") for line in open(os.path.join(f, "requests.tsv"))]
    levels = collections.OrderedDict()
    for kind, label, *_ in requests:
        levels.setdefault(kind, collections.OrderedDict()).setdefault(label, 0)
        levels[kind][label] += 1

    out = []
    w = out.append
    w("# Benchmark: rhl serve against MapServer")
    w("")
    w("Made by `%s` on %s, %s cores, GDAL %s, MapServer %s, wrk on loopback (one thread)."
      % (a.command, datetime.datetime.utcnow().strftime("%Y-%m-%d"), a.cores, a.gdal, a.mapserver))
    w("Other work shares the machine's cores: the load average was %s when the bench began."
      % a.load)
    w("Image: `%s` (%s). Requests: WMS 1.3.0 GetMap, 256 x 256, in three sets, each request"
      % (os.path.basename(a.image), image_note(a.image)))
    w("cycled in a fixed order; each set's levels chosen at random with a fixed seed:")
    w("")
    for kind, title in SETS:
        lv = levels.get(kind, {})
        w("- %s: %d requests (%s)" % (title, sum(lv.values()), ", ".join("%s: %d" % kv for kv in lv.items())))
    w("")
    w("*own grid*: boxes on the image's pixels at whole reductions (1:r reads r x r pixels into one);"
      " *off grid*: boxes shifted by fractions of a pixel, at x s source pixels an output pixel"
      " (0.7 enlarges); *EPSG:3857*: Web Mercator tiles of level z.")
    w("")
    w("MapServer: `mapserv` as %s FastCGI processes (spawn-fcgi) behind nginx (one worker process),"
      " a raster layer with `PROCESSING \"RESAMPLE=AVERAGE\"`. rhl serve: one process, on its own"
      " port. Both with GDAL_CACHEMAX %s (MiB). Tiles/s, latency and processor time are medians"
      " over passes; in each pass the servers' runs alternate (the other server first in the next"
      " pass). Processor time a tile: user and system time of the server's processes (MapServer's"
      " with nginx's) over the tiles answered." % (a.procs, a.cachemax))
    w("")

    # Targets.
    w("## Targets")
    w("")
    w("| target | figure | met |")
    w("|---|---|---|")
    both = "mapserver" in servers and "rhl" in servers
    for kind, title in SETS:
        if not both:
            break
        ratios = ["%d: %.2fx" % (c, med[("rhl", kind, c)][0] / med[("mapserver", kind, c)][0])
                  for c in conns if ("rhl", kind, c) in med and ("mapserver", kind, c) in med]
        lowest = min(med[("rhl", kind, c)][0] / med[("mapserver", kind, c)][0] for c in conns)
        cpu = statistics.median(med[("mapserver", kind, c)][3] / med[("rhl", kind, c)][3] for c in conns)
        w("| %s tiles/s at least %gx MapServer's, at every connection count | %s (processor time a tile: MapServer's / rhl's %.2f) | %s |"
          % (title, TARGETS[kind], "; ".join(ratios), cpu, yes(lowest >= TARGETS[kind])))
    if both:
        ms_start, ms_end = memory[("mapserver", "start")][1], memory[("mapserver", "end")][1]
        rh_start, rh_end = memory[("rhl", "start")][1], memory[("rhl", "end")][1]
        w("| resident memory at most 1/4 of MapServer's, at start and after the load | %s / %s at start (%.2f), %s / %s after (%.2f) | %s |"
          % (mib(rh_start), mib(ms_start), rh_start / ms_start, mib(rh_end), mib(ms_end),
             rh_end / ms_end, yes(rh_start * 4 <= ms_start and rh_end * 4 <= ms_end)))
    for s in servers:
        if s == "rhl":
            w("| rhl serve: 0 errors | %d | %s |" % (errors[s], yes(errors[s] == 0)))
    if both:
        worse = []
        for kind, title in SETS:
            for alg in ("average", "bilinear"):
                r, m = pixels.get((kind, "rhl", alg)), pixels.get((kind, "mapserver", alg))
                if r and m and r[1] > m[1]:
                    worse.append("%s, -r %s: %.2f against %.2f" % (title, alg, r[1], m[1]))
        w("| pixels at least as close to gdalwarp as MapServer's (mean absolute difference, every set, both resamplings) | %s | %s |"
          % ("; ".join(worse) if worse else "rhl's never further", yes(not worse)))
    w("")

    # Throughput and latency.
    w("## Tiles per second and latency")
    w("")
    head = "| set | connections |"
    for s in servers:
        head += " %s tiles/s |" % NAMES[s]
    if both:
        head += " rhl / MapServer |"
    for s in servers:
        head += " %s median, p99 ms | %s CPU ms a tile |" % (NAMES[s], NAMES[s])
    w(head)
    w("|" + "---|" * (head.count("|") - 1))
    for kind, title in SETS:
        for c in conns:
            line = "| %s | %d |" % (title, c)
            for s in servers:
                line += " %.0f |" % med[(s, kind, c)][0] if (s, kind, c) in med else " - |"
            if both:
                line += " %.2f |" % (med[("rhl", kind, c)][0] / med[("mapserver", kind, c)][0])
            for s in servers:
                m = med.get((s, kind, c))
                line += " %.1f, %.1f | %.1f |" % (m[1], m[2], m[3]) if m else " - | - |"
            w(line)
    w("")
    busy = ["%s: %s" % (title, ", ".join(
        "%s %.2f busy, %.2f waiting" % (NAMES[s], med[(s, kind, conns[-1])][0] * med[(s, kind, conns[-1])][3] / 1000,
                                        med[(s, kind, conns[-1])][4])
        for s in servers if (s, kind, conns[-1]) in med)) for kind, title in SETS]
    w("Cores each server kept busy at %d connections (tiles/s x processor time a tile), and its"
      " threads' time ready to run but waiting for a core (seconds a second, from the kernel's"
      " schedstat): " % conns[-1] + "; ".join(busy) + ". A server far below the machine's %s cores"
      " that does not wait for a core waits for something of its own (a lock, its clients)." % a.cores)
    w("")

    # Bytes and errors.
    w("## Bytes and errors")
    w("")
    table(w, ["set"] + ["%s bytes a tile" % NAMES[s] for s in servers] + ["%s errors" % NAMES[s] for s in servers],
          [[title] + ["%.0f" % statistics.mean(sizes[(s, kind)]) if sizes[(s, kind)] else "-"
                      for s in servers] + ["%d" % errors[(s, kind)] for s in servers]
           for kind, title in SETS])
    w("")
    w("Errors (failed requests, and answers that are not a 200 image, over every run and the"
      " single fetches): " + ", ".join("%s %d" % (NAMES[s], errors[s]) for s in servers) + "."
      " Answers other than 200 in nginx's log (but 499, a request wrk left at the end of a run): %s; refusals in rhl serve's log: %s."
      % (a.nginx_errors, a.rhl_refusals))
    w("")

    # Memory.
    w("## Resident memory")
    w("")
    w("| server | processes | RSS at start | after the warm-up | after the load | PSS at start | PSS after the load |")
    w("|---|---|---|---|---|---|---|")
    for s in servers + ["nginx"]:
        if (s, "start") not in memory:
            continue
        st, wa, en = memory[(s, "start")], memory.get((s, "warm"), (0, 0, 0)), memory[(s, "end")]
        w("| %s | %d | %s | %s | %s | %s | %s |" % (NAMES.get(s, "nginx (MapServer's front, not in its figure)"),
                                                    en[0], mib(st[1]), mib(wa[1]), mib(en[1]), mib(st[2]), mib(en[2])))
    w("")
    w("RSS is summed over the server's processes (pages of shared libraries count once a"
      " process); PSS shares such pages among the processes that map them.")
    w("")

    # Pixels.
    w("## Pixels against gdalwarp")
    w("")
    w("Each answer against `gdalwarp -te ... -ts 256 256 -t_srs CRS -r average` (and `-r bilinear`)"
      " of the same box from the image (GDAL's own warper, choosing among the overviews as"
      " gdalwarp does): mean absolute difference of the RGB samples (0 to 255), and the share of"
      " pixels differing by more than 4 in a band.")
    w("")
    def diff(d, key):
        return "%.2f, %.1f %%" % (d[key][-2], 100 * d[key][-1]) if key in d else "-"
    table(w, ["set", "gdalwarp -r"] + ["%s mean diff, share > 4" % NAMES[s] for s in servers],
          [[title, alg] + [diff(pixels, (kind, s, alg)) for s in servers]
           for kind, title in SETS for alg in ("average", "bilinear")])
    w("")
    w("By level, against `-r average`:")
    w("")
    table(w, ["set", "level"] + [NAMES[s] for s in servers],
          [[title, label] + [diff(labels.get((kind, label), {}), (s, "average")) for s in servers]
           for kind, title in SETS for label in levels.get(kind, {})])
    print("\n".join(out))


def table(w, head, body):
    w("| " + " | ".join(head) + " |")
    w("|" + "---|" * len(head))
    for cells in body:
        w("| " + " | ".join(cells) + " |")


def yes(ok):
    return "**met**" if ok else "**not met**"


def image_note(path):
    from osgeo import gdal, osr
    ds = gdal.Open(path)
    srs = osr.SpatialReference(wkt=ds.GetProjection())
    srs.AutoIdentifyEPSG()
    b = ds.GetRasterBand(1)
    ovr = [str(ds.RasterXSize // b.GetOverview(i).XSize) for i in range(b.GetOverviewCount())]
    md = ds.GetMetadata("IMAGE_STRUCTURE")
    bx, by = b.GetBlockSize()
    return "%d x %d, EPSG:%s, %s, %d x %d blocks, overviews %s" % (
        ds.RasterXSize, ds.RasterYSize, srs.GetAuthorityCode(None), md.get("COMPRESSION", "uncompressed"),
        bx, by, ", ".join(ovr) or "none")


if __name__ == "__main__":
    main()
