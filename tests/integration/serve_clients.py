#!/usr/bin/python3
"""rhl serve as GIS clients that no one here wrote see it: GDAL's WMS and
WMTS drivers and OWSLib, each against a real `rhl serve` on a loopback port,
with GDAL's gdalwarp of the source images as the oracle for pixels.

  tests/integration/serve_clients.py --rhl build/rhl --world build/samples/world.tif [unittest args]

The images: two adjacent windows of the world image (EPSG:4326) and the
world warped into UTM zone 33N, made with GDAL in a scratch folder.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

import numpy as np
from osgeo import gdal

gdal.UseExceptions()

ARGS = None
SCRATCH = None
IMAGES = {}


def make_images():
    world = ARGS.world
    # Adjacent windows of 120 x 100 pixels, sharing the edge at column 1020.
    for name, col in (('west', 900), ('east', 1020)):
        path = os.path.join(SCRATCH, name + '.tif')
        gdal.Translate(path, world, srcWin=[col, 150, 120, 100])
        IMAGES[name] = path
    path = os.path.join(SCRATCH, 'utm.tif')
    gdal.Warp(path, world, dstSRS='EPSG:32633', xRes=4000, yRes=4000,
              outputBounds=[200000, 4700000, 800000, 5500000], resampleAlg='bilinear')
    IMAGES['utm'] = path


class Served:
    """`rhl serve` on a free port, stopped by SIGTERM."""

    def __init__(self, *files):
        self.out = open(os.path.join(SCRATCH, 'serve.out'), 'w+')
        self.err = open(os.path.join(SCRATCH, 'serve.err'), 'w+')
        self.proc = subprocess.Popen([ARGS.rhl, 'serve', *files, '--port', '0'],
                                     stdout=self.out, stderr=self.err)
        self.port = None
        for _ in range(600):
            self.out.seek(0)
            m = re.search(r'open http://127\.0\.0\.1:(\d+)/ ', self.out.read())
            if m:
                self.port = int(m.group(1))
                break
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        if self.port is None:
            self.err.seek(0)
            raise RuntimeError('rhl serve did not start: ' + self.err.read())
        self.base = 'http://127.0.0.1:%d' % self.port

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(60)
        self.err.seek(0)
        err = self.err.read()
        self.out.close()
        self.err.close()
        return status, err


def read(path_or_ds):
    ds = gdal.Open(path_or_ds) if isinstance(path_or_ds, str) else path_or_ds
    return ds.ReadAsArray().astype(np.int32)


def agreement(ours, oracle):
    """How far two RGBA arrays are apart where both have pixels: the mean and
    99th percentile of absolute differences, and the share of pixels that
    only one of them has."""
    a_in, b_in = ours[3] > 0, oracle[3] > 0
    both = a_in & b_in
    diff = np.abs(ours[:3] - oracle[:3])[:, both]
    one = (a_in ^ b_in).sum() / a_in.size
    return diff.mean(), np.percentile(diff, 99), one, both.sum()


class ClientTest(unittest.TestCase):
    LAYERS = ('west', 'east', 'utm', 'world')  # served in this order

    def setUp(self):
        self.server = Served(*[IMAGES.get(name, ARGS.world) for name in self.LAYERS])

    def tearDown(self):
        status, err = self.server.stop()
        self.assertEqual(status, 0, err)

    def assertAgrees(self, ours, oracle, what, mean=4.0, p99=48, one=0.03):
        m, p, o, n = agreement(ours, oracle)
        self.assertGreater(n, 0.5 * oracle[3].size, what + ': too few pixels in common')
        self.assertLess(m, mean, what + ': mean difference')
        self.assertLess(p, p99, what + ': 99th percentile of differences')
        self.assertLess(o, one, what + ': pixels only one has')


def wms_xml(base, version, layers, crs, box, width, height):
    """GDAL's WMS service description for one grid: GDAL then asks for that
    grid's blocks at full resolution."""
    order = 'yxYX' if version == '1.3.0' and crs == 'EPSG:4326' else 'xyXY'
    return ('<GDAL_WMS><Service name="WMS"><Version>%s</Version>'
            '<ServerUrl>%s/wms?</ServerUrl><Layers>%s</Layers><SRS>%s</SRS><CRS>%s</CRS>'
            '<ImageFormat>image/png</ImageFormat><Transparent>TRUE</Transparent>'
            '<BBoxOrder>%s</BBoxOrder></Service>'
            '<DataWindow><UpperLeftX>%r</UpperLeftX><UpperLeftY>%r</UpperLeftY>'
            '<LowerRightX>%r</LowerRightX><LowerRightY>%r</LowerRightY>'
            '<SizeX>%d</SizeX><SizeY>%d</SizeY></DataWindow>'
            '<BandsCount>4</BandsCount><BlockSizeX>256</BlockSizeX><BlockSizeY>256</BlockSizeY>'
            '<Cache/></GDAL_WMS>' % (version, base, layers, crs, crs, order,
                                     box[0], box[3], box[2], box[1], width, height))


class GdalWms(ClientTest):
    def test_gdalinfo_lists_every_layer_and_the_mosaic(self):
        out = subprocess.run(['gdalinfo', 'WMS:%s/wms?SERVICE=WMS&REQUEST=GetCapabilities'
                              % self.server.base], capture_output=True, text=True, check=True).stdout
        names = re.findall(r'SUBDATASET_\d+_NAME=.*LAYERS=([^&\s]+)', out)
        self.assertEqual(names, ['mosaic', 'west', 'east', 'utm', 'world'])
        # A layer's subdataset, as a user opens it, reads.
        first = re.search(r'SUBDATASET_4_NAME=(\S+)', out).group(1)
        ds = gdal.Translate('/vsimem/sub.tif', first, width=200, height=0)
        self.assertEqual(ds.RasterXSize, 200)
        self.assertGreater(read(ds)[:3].max(), 0)

    def test_a_layer_in_another_crs_agrees_with_gdalwarp(self):
        box = [12.0, 43.0, 18.0, 49.0]  # the UTM image in EPSG:4326
        for version in ('1.1.1', '1.3.0'):
            with self.subTest(version=version):
                ours = read(gdal.Translate('/vsimem/utm.tif', wms_xml(self.server.base, version, 'utm',
                                                                      'EPSG:4326', box, 300, 300)))
                oracle = read(gdal.Warp('/vsimem/utm-ref.tif', IMAGES['utm'], dstSRS='EPSG:4326',
                                        outputBounds=box, width=300, height=300,
                                        resampleAlg='bilinear', dstAlpha=True))
                self.assertAgrees(ours, oracle, 'utm in EPSG:4326, WMS ' + version)



class GdalWmsMosaic(ClientTest):
    LAYERS = ('west', 'east')

    def test_the_mosaic_of_two_adjacent_images_agrees_with_gdalwarp_of_both(self):
        # Both windows, in Web Mercator: each half from its own image.
        lon0, lon1 = -180 + 900 * 0.17578125, -180 + 1140 * 0.17578125
        lat1, lat0 = 90 - 150 * 0.17578125, 90 - 250 * 0.17578125
        merc = gdal.Warp('/vsimem/box.tif', ARGS.world, dstSRS='EPSG:3857', outputBounds=[lon0, lat0, lon1, lat1],
                         outputBoundsSRS='EPSG:4326', width=16, height=16)
        gt = merc.GetGeoTransform()
        box = [gt[0], gt[3] + 16 * gt[5], gt[0] + 16 * gt[1], gt[3]]
        ours = read(gdal.Translate('/vsimem/mosaic.tif', wms_xml(self.server.base, '1.3.0', 'mosaic',
                                                                 'EPSG:3857', box, 480, 400)))
        oracle = read(gdal.Warp('/vsimem/mosaic-ref.tif', [IMAGES['west'], IMAGES['east']],
                                dstSRS='EPSG:3857', outputBounds=box, width=480, height=400,
                                resampleAlg='bilinear', dstAlpha=True))
        self.assertAgrees(ours, oracle, 'the mosaic of west and east')
        # Pixels from both images, and none missing at their shared edge.
        self.assertGreater(ours[3][:, :200].min(), 0)
        self.assertGreater(ours[3][:, 280:].min(), 0)
        self.assertEqual(ours[3][10:-10, 10:-10].min(), 255)


class GdalWmts(ClientTest):
    def caps(self):
        return 'WMTS:%s/wmts/1.0.0/WMTSCapabilities.xml' % self.server.base

    def test_the_native_sets_finest_level_is_the_image_byte_for_byte(self):
        for name in ('west', 'utm'):
            with self.subTest(layer=name):
                ds = gdal.Open('%s,layer=%s,tilematrixset=native-%s' % (self.caps(), name, name))
                src = gdal.Open(IMAGES[name])
                self.assertEqual((ds.RasterXSize, ds.RasterYSize), (src.RasterXSize, src.RasterYSize))
                for a, b in zip(ds.GetGeoTransform(), src.GetGeoTransform()):
                    self.assertAlmostEqual(a, b, delta=abs(b) * 1e-12 + 1e-12)
                ours, image = read(ds), read(src)
                self.assertTrue(np.array_equal(ours[:3], image), 'pixels differ from the image')
                self.assertEqual(ours[3].min(), 255)

    def test_google_maps_compatible_agrees_with_gdalwarp_to_web_mercator(self):
        for name in ('utm', 'west'):
            with self.subTest(layer=name):
                ds = gdal.Open('%s,layer=%s,tilematrixset=GoogleMapsCompatible' % (self.caps(), name))
                gt = ds.GetGeoTransform()
                box = [gt[0], gt[3] + ds.RasterYSize * gt[5], gt[0] + ds.RasterXSize * gt[1], gt[3]]
                ours = read(ds)
                oracle = read(gdal.Warp('/vsimem/g.tif', IMAGES[name], dstSRS='EPSG:3857',
                                        outputBounds=box, width=ds.RasterXSize,
                                        height=ds.RasterYSize, resampleAlg='bilinear',
                                        dstAlpha=True))
                self.assertAgrees(ours, oracle, name + ' in GoogleMapsCompatible')


class OwsLib(ClientTest):
    def test_web_map_service_1_3_0_reads_the_capabilities_and_fetches_a_map(self):
        from owslib.wms import WebMapService
        from owslib.util import ServiceException
        wms = WebMapService(self.server.base + '/wms', version='1.3.0')
        self.assertEqual(list(wms.contents), ['mosaic', 'west', 'east', 'utm', 'world'])
        self.assertTrue({'EPSG:4326', 'CRS:84', 'EPSG:3857', 'EPSG:32633'} <= set(wms['utm'].crsOptions))
        self.assertIn('GetFeatureInfo', [op.name for op in wms.operations])
        box = (300000, 4800000, 700000, 5200000)  # columns 25 to 125, rows 75 to 175
        png = wms.getmap(layers=['utm'], srs='EPSG:32633', bbox=box, size=(50, 50),
                         format='image/png').read()
        gdal.FileFromMemBuffer('/vsimem/owslib.png', png)
        ours = read('/vsimem/owslib.png')
        self.assertEqual(ours.shape, (3, 50, 50))
        # On the image's own grid at 1:2: each pixel the average of four.
        image = read(IMAGES['utm'])[:, 75:175, 25:125]
        quads = image.reshape(3, 50, 2, 50, 2).mean(axis=(2, 4))
        self.assertLessEqual(np.abs(ours - quads).max(), 1)
        info = wms.getfeatureinfo(layers=['utm'], srs='EPSG:32633', bbox=box, size=(50, 50),
                                  format='image/png', query_layers=['utm'],
                                  info_format='application/json', xy=(10, 20)).read()
        import json
        feature = json.loads(info)['features'][0]['properties']
        self.assertEqual((feature['column'], feature['row']), (25 + 2 * 10 + 1, 75 + 2 * 20 + 1))
        self.assertEqual(feature['rgb'], list(read(IMAGES['utm'])[:, 116, 46]))
        with self.assertRaises(ServiceException):
            wms.getmap(layers=['nowhere'], srs='EPSG:3857', bbox=(0, 0, 1, 1), size=(10, 10),
                       format='image/png')

    def test_web_map_tile_service_reads_the_capabilities_and_fetches_a_tile(self):
        from owslib.wmts import WebMapTileService
        wmts = WebMapTileService(self.server.base + '/wmts/1.0.0/WMTSCapabilities.xml')
        self.assertEqual(set(wmts.contents), {'mosaic', 'west', 'east', 'utm', 'world'})
        self.assertIn('GoogleMapsCompatible', wmts.tilematrixsets)
        self.assertIn('native-utm', wmts.tilematrixsets)
        for matrixset, matrix, row, col in (('GoogleMapsCompatible', '5', 11, 17), ('native-utm', '0', 0, 0)):
            with self.subTest(set=matrixset):
                tile = wmts.gettile(layer='utm', tilematrixset=matrixset, tilematrix=matrix, row=row,
                                    column=col, format='image/png').read()
                gdal.FileFromMemBuffer('/vsimem/tile.png', tile)
                ours = read('/vsimem/tile.png')
                self.assertEqual(ours.shape[1:], (256, 256))
                self.assertGreater(ours[3].max(), 0)


if __name__ == '__main__':
    parser = argparse.ArgumentParser()
    parser.add_argument('--rhl', required=True)
    parser.add_argument('--world', required=True)
    ARGS, rest = parser.parse_known_args()
    # Loopback needs no proxy; GDAL's tile cache goes to the scratch folder.
    os.environ['NO_PROXY'] = os.environ['no_proxy'] = '127.0.0.1,localhost'
    with tempfile.TemporaryDirectory(prefix='rhl-clients-') as SCRATCH:
        gdal.SetConfigOption('GDAL_DEFAULT_WMS_CACHE_PATH', os.path.join(SCRATCH, 'cache'))
        make_images()
        unittest.main(argv=[sys.argv[0]] + rest)
