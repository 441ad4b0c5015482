#include "wmts.h"

#include <strings.h>

#include "cli.h"
#include "tilematrix.h"

namespace rhl {
namespace web {
namespace {

const char kOws[] = "http://www.opengis.net/ows/1.1";

bool Is(const std::string &value, const char *name) {
  return strcasecmp(value.c_str(), name) == 0;
}

void OwsException(HttpResponse &res, int status, const std::string &code,
                  const std::string &locator, const std::string &text) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("ows:ExceptionReport");
  root.append_attribute("xmlns:ows") = kOws;
  root.append_attribute("version") = "1.1.0";
  root.append_attribute("xml:lang") = "en";
  pugi::xml_node e = root.append_child("ows:Exception");
  e.append_attribute("exceptionCode") = code.c_str();
  if (!locator.empty()) e.append_attribute("locator") = locator.c_str();
  e.append_child("ows:ExceptionText").text().set(Printable(text).c_str());
  res = HttpResponse();
  res.status = status;
  res.type = "application/xml";
  res.body = XmlText(doc);
  res.reason = code + ": " + text;
}

// A layer's name, what it draws and the sets it is offered in.
struct Offer {
  std::string id;
  std::vector<size_t> layers;
  std::vector<TileMatrixSet> sets;
};

bool OfferOf(const Site &s, const std::string &name, Offer *o) {
  o->layers = s.catalogue.Resolve(name, true);
  if (o->layers.empty()) return false;
  o->id = name;
  o->sets.push_back(GoogleMapsSet(s.catalogue.MaxZoom()));
  TileMatrixSet native;
  if (name != kMosaicId && NativeSet(s.catalogue, s.catalogue[o->layers[0]], &native))
    o->sets.push_back(native);
  return true;
}

// "x y", or "y x" where the CRS names northing or latitude first.
std::string Corner(const CrsEntry &e, double x, double y) {
  return e.northFirst ? ShortNumber(y) + " " + ShortNumber(x) : ShortNumber(x) + " " + ShortNumber(y);
}

void Text(pugi::xml_node parent, const char *name, const std::string &text) {
  parent.append_child(name).text().set(text.c_str());
}

void BoundingBox(pugi::xml_node layer, const char *name, const CrsEntry *e, const Box &b) {
  pugi::xml_node box = layer.append_child(name);
  if (e != nullptr) box.append_attribute("crs") = e->urn.c_str();
  Text(box, "ows:LowerCorner", e ? Corner(*e, b.minx, b.miny) : ShortNumber(b.minx) + " " + ShortNumber(b.miny));
  Text(box, "ows:UpperCorner", e ? Corner(*e, b.maxx, b.maxy) : ShortNumber(b.maxx) + " " + ShortNumber(b.maxy));
}

void Get(pugi::xml_node operation, const std::string &href, const char *encoding) {
  pugi::xml_node get = operation.append_child("ows:DCP").append_child("ows:HTTP").append_child("ows:Get");
  get.append_attribute("xlink:href") = href.c_str();
  pugi::xml_node c = get.append_child("ows:Constraint");
  c.append_attribute("name") = "GetEncoding";
  Text(c.append_child("ows:AllowedValues"), "ows:Value", encoding);
}

void LayerElement(pugi::xml_node contents, const Site &s, const Offer &o, const std::string &base) {
  const Catalogue &cat = s.catalogue;
  const bool mosaic = o.id == kMosaicId;
  std::optional<Box> geo = mosaic ? cat.MosaicBounds(kCrs84) : cat[o.layers[0]].bounds[kCrs84];
  pugi::xml_node layer = contents.append_child("Layer");
  Text(layer, "ows:Title", mosaic ? "All images" : cat[o.layers[0]].title);
  if (geo) BoundingBox(layer, "ows:WGS84BoundingBox", nullptr, *geo);
  Text(layer, "ows:Identifier", o.id);
  for (const TileMatrixSet &set : o.sets) {
    std::optional<Box> b = mosaic ? cat.MosaicBounds(set.crs) : cat[o.layers[0]].bounds[set.crs];
    if (b) BoundingBox(layer, "ows:BoundingBox", &cat.crs()[set.crs], *b);
  }
  pugi::xml_node style = layer.append_child("Style");
  style.append_attribute("isDefault") = "true";
  Text(style, "ows:Identifier", "default");
  for (const ImageFormat &f : kImageFormats) Text(layer, "Format", f.mime);
  for (const TileMatrixSet &set : o.sets) {
    pugi::xml_node link = layer.append_child("TileMatrixSetLink");
    Text(link, "TileMatrixSet", set.id);
    std::optional<Box> b = mosaic ? cat.MosaicBounds(set.crs) : cat[o.layers[0]].bounds[set.crs];
    if (set.id != kGoogleMaps || !b) continue;
    pugi::xml_node limits = link.append_child("TileMatrixSetLimits");
    for (const TileMatrix &m : set.levels) {
      TileRange r;
      if (!TilesCovering(m, *b, &r)) continue;
      pugi::xml_node l = limits.append_child("TileMatrixLimits");
      Text(l, "TileMatrix", m.id);
      Text(l, "MinTileRow", std::to_string(r.minRow));
      Text(l, "MaxTileRow", std::to_string(r.maxRow));
      Text(l, "MinTileCol", std::to_string(r.minCol));
      Text(l, "MaxTileCol", std::to_string(r.maxCol));
    }
  }
  for (const ImageFormat &f : kImageFormats) {
    pugi::xml_node url = layer.append_child("ResourceURL");
    url.append_attribute("format") = f.mime;
    url.append_attribute("resourceType") = "tile";
    url.append_attribute("template") = (base + "/wmts/1.0.0/" + o.id +
                                        "/{Style}/{TileMatrixSet}/{TileMatrix}/{TileRow}/{TileCol}." +
                                        f.extension).c_str();
  }
}

void SetElement(pugi::xml_node contents, const Site &s, const TileMatrixSet &set) {
  pugi::xml_node node = contents.append_child("TileMatrixSet");
  Text(node, "ows:Identifier", set.id);
  const CrsEntry &e = s.catalogue.crs()[set.crs];
  Text(node, "ows:SupportedCRS", e.urn);
  if (!set.wellKnown.empty()) Text(node, "WellKnownScaleSet", set.wellKnown);
  for (const TileMatrix &m : set.levels) {
    pugi::xml_node matrix = node.append_child("TileMatrix");
    Text(matrix, "ows:Identifier", m.id);
    Text(matrix, "ScaleDenominator", ShortNumber(m.scaleDenominator));
    Text(matrix, "TopLeftCorner", Corner(e, m.left, m.top));
    Text(matrix, "TileWidth", std::to_string(kTileSide));
    Text(matrix, "TileHeight", std::to_string(kTileSide));
    Text(matrix, "MatrixWidth", std::to_string(m.columns));
    Text(matrix, "MatrixHeight", std::to_string(m.rows));
  }
}

// One tile, its parameters as either encoding gives them.
struct TileAsked {
  std::string layer, style, set, matrix, row, col;
  const ImageFormat *format = nullptr;
  std::string formatText;
};

void GetTile(const Site &s, const TileAsked &t, HttpResponse &res) {
  Offer o;
  if (!OfferOf(s, t.layer, &o))
    return OwsException(res, 400, "InvalidParameterValue", "LAYER", "there is no layer '" + t.layer + "'");
  if (!t.style.empty() && !Is(t.style, "default"))
    return OwsException(res, 400, "InvalidParameterValue", "STYLE",
                        "there is no style '" + t.style + "': every layer has one, default");
  if (t.format == nullptr)
    return OwsException(res, 400, "InvalidParameterValue", "FORMAT",
                        "FORMAT '" + t.formatText + "' is not one of image/png, image/jpeg, image/webp");
  const TileMatrixSet *set = nullptr;
  for (const TileMatrixSet &candidate : o.sets)
    if (candidate.id == t.set) set = &candidate;
  if (set == nullptr)
    return OwsException(res, 400, "InvalidParameterValue", "TILEMATRIXSET",
                        "layer '" + t.layer + "' has no tile matrix set '" + t.set + "'");
  const TileMatrix *matrix = nullptr;
  for (const TileMatrix &candidate : set->levels)
    if (candidate.id == t.matrix) matrix = &candidate;
  if (matrix == nullptr)
    return OwsException(res, 400, "InvalidParameterValue", "TILEMATRIX",
                        "tile matrix set '" + t.set + "' has no tile matrix '" + t.matrix + "'");
  int64_t row = 0, col = 0;
  if (!ReadWhole(t.row, INT64_MAX / 2, &row) || row >= matrix->rows)
    return OwsException(res, 400, "TileOutOfRange", "TILEROW",
                        "TILEROW '" + t.row + "' is not a row from 0 to " + std::to_string(matrix->rows - 1));
  if (!ReadWhole(t.col, INT64_MAX / 2, &col) || col >= matrix->columns)
    return OwsException(res, 400, "TileOutOfRange", "TILECOL",
                        "TILECOL '" + t.col + "' is not a column from 0 to " + std::to_string(matrix->columns - 1));
  std::string error;
  if (int failed = AnswerMap(s, TileRequest(*set, *matrix, col, row, o.layers), *t.format,
                             Background(), res, &error))
    OwsException(res, failed, "NoApplicableCode", "", error);
}

// The KVP encoding: /wmts?SERVICE=WMTS&REQUEST=...
void AnswerKvp(const Site &s, const HttpRequest &q, HttpResponse &res) {
  auto param = [&q](const char *name) {
    const std::string *v = q.Param(name);
    return v != nullptr ? *v : std::string();
  };
  const std::string *service = q.Param("SERVICE");
  if (service != nullptr && !Is(*service, "WMTS"))
    return OwsException(res, 400, "InvalidParameterValue", "SERVICE",
                        "this is a WMTS; SERVICE '" + *service + "' is not served here");
  const std::string request = param("REQUEST");
  if (request.empty())
    return OwsException(res, 400, "MissingParameterValue", "REQUEST", "the request has no REQUEST");
  if (Is(request, "GetCapabilities")) {
    res.type = "application/xml";
    res.body = WmtsCapabilities(s, BaseUrl(s, q));
    return;
  }
  if (!Is(request, "GetTile"))
    return OwsException(res, 501, "OperationNotSupported", "REQUEST",
                        "REQUEST '" + request + "' is not GetCapabilities or GetTile");
  for (const char *name : {"LAYER", "STYLE", "FORMAT", "TILEMATRIXSET", "TILEMATRIX", "TILEROW", "TILECOL"})
    if (q.Param(name) == nullptr || (param(name).empty() && std::string(name) != "STYLE"))
      return OwsException(res, 400, "MissingParameterValue", name,
                          std::string("the request has no ") + name);
  TileAsked t{param("LAYER"), param("STYLE"), param("TILEMATRIXSET"), param("TILEMATRIX"),
              param("TILEROW"), param("TILECOL"), FormatByMime(param("FORMAT")), param("FORMAT")};
  GetTile(s, t, res);
}

}  // namespace

std::string WmtsCapabilities(const Site &s, const std::string &base) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("Capabilities");
  root.append_attribute("xmlns") = "http://www.opengis.net/wmts/1.0";
  root.append_attribute("xmlns:ows") = kOws;
  root.append_attribute("xmlns:xlink") = "http://www.w3.org/1999/xlink";
  root.append_attribute("xmlns:xsi") = "http://www.w3.org/2001/XMLSchema-instance";
  root.append_attribute("xsi:schemaLocation") =
      "http://www.opengis.net/wmts/1.0 http://schemas.opengis.net/wmts/1.0/wmtsGetCapabilities_response.xsd";
  root.append_attribute("version") = "1.0.0";
  pugi::xml_node id = root.append_child("ows:ServiceIdentification");
  Text(id, "ows:Title", "rhl serve");
  Text(id, "ows:ServiceType", "OGC WMTS");
  Text(id, "ows:ServiceTypeVersion", "1.0.0");
  pugi::xml_node ops = root.append_child("ows:OperationsMetadata");
  for (const char *name : {"GetCapabilities", "GetTile"}) {
    pugi::xml_node op = ops.append_child("ows:Operation");
    op.append_attribute("name") = name;
    Get(op, base + "/wmts?", "KVP");
    Get(op, base + "/wmts/1.0.0/", "RESTful");
  }
  pugi::xml_node contents = root.append_child("Contents");
  std::vector<TileMatrixSet> sets;
  std::vector<std::string> names;
  for (size_t i : s.catalogue.mosaic()) names.push_back(s.catalogue[i].id);
  if (!names.empty()) names.push_back(kMosaicId);
  for (const std::string &name : names) {
    Offer o;
    if (!OfferOf(s, name, &o)) continue;
    LayerElement(contents, s, o, base);
    for (const TileMatrixSet &set : o.sets) {
      bool listed = false;
      for (const TileMatrixSet &known : sets) listed = listed || known.id == set.id;
      if (!listed) sets.push_back(set);
    }
  }
  for (const TileMatrixSet &set : sets) SetElement(contents, s, set);
  root.append_child("ServiceMetadataURL").append_attribute("xlink:href") =
      (base + "/wmts/1.0.0/WMTSCapabilities.xml").c_str();
  return XmlText(doc);
}

void AnswerWmts(const Site &s, const std::string &rest, const HttpRequest &q, HttpResponse &res) {
  if (rest.empty() || rest == "/") return AnswerKvp(s, q, res);
  if (rest == "/1.0.0/WMTSCapabilities.xml") {
    res.type = "application/xml";
    res.body = WmtsCapabilities(s, BaseUrl(s, q));
    return;
  }
  // /1.0.0/{layer}/{style}/{set}/{matrix}/{row}/{col}.{ext}
  std::vector<std::string> parts = Split(rest.substr(1), '/');
  size_t dot = parts.back().rfind('.');
  if (parts.size() != 7 || parts[0] != "1.0.0" || dot == std::string::npos)
    return res.Refuse(404, "WMTS tiles are /wmts/1.0.0/{layer}/{style}/{set}/{matrix}/{row}/{col}.png");
  std::string extension = parts[6].substr(dot + 1);
  TileAsked t{parts[1], parts[2], parts[3], parts[4], parts[5], parts[6].substr(0, dot),
              FormatByExtension(extension), extension};
  GetTile(s, t, res);
}

}  // namespace web
}  // namespace rhl
