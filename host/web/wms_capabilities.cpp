// The WMS capabilities document, 1.3.0 and 1.1.1.
#include <functional>
#include <optional>
#include <string>

#include "cli.h"
#include "wms.h"

namespace rhl {
namespace web {
namespace {

const char kXlink[] = "http://www.w3.org/1999/xlink";

void Text(pugi::xml_node parent, const char *name, const std::string &text) {
  parent.append_child(name).text().set(text.c_str());
}

void Link(pugi::xml_node parent, const std::string &href) {
  pugi::xml_node r = parent.append_child("OnlineResource");
  r.append_attribute("xlink:type") = "simple";
  r.append_attribute("xlink:href") = href.c_str();
}

// One operation: its formats and where to send it.
void Operation(pugi::xml_node request, const char *name, const std::vector<std::string> &formats,
               const std::string &href) {
  pugi::xml_node op = request.append_child(name);
  for (const std::string &f : formats) Text(op, "Format", f);
  Link(op.append_child("DCPType").append_child("HTTP").append_child("Get"), href);
}

// The CRSs a layer lists: its own (the root lists them all).
void CrsElements(pugi::xml_node layer, const Site &site, int crs, bool v130) {
  const CrsEntry &e = site.catalogue.crs()[crs];
  if (e.id.empty() || (!v130 && crs == kCrs84)) return;
  Text(layer, v130 ? "CRS" : "SRS", e.id);
}

// The extent in longitude and latitude, and in every CRS listed, in each
// CRS's own axis order in 1.3.0.
void Extents(pugi::xml_node layer, const Site &site, bool v130,
             const std::function<std::optional<Box>(int)> &bounds) {
  const CrsList &list = site.catalogue.crs();
  std::optional<Box> geo = bounds(kCrs84);
  Box g = geo ? *geo : Box{-180, -90, 180, 90};
  if (v130) {
    pugi::xml_node e = layer.append_child("EX_GeographicBoundingBox");
    Text(e, "westBoundLongitude", ShortNumber(g.minx));
    Text(e, "eastBoundLongitude", ShortNumber(g.maxx));
    Text(e, "southBoundLatitude", ShortNumber(g.miny));
    Text(e, "northBoundLatitude", ShortNumber(g.maxy));
  } else {
    pugi::xml_node e = layer.append_child("LatLonBoundingBox");
    e.append_attribute("minx") = ShortNumber(g.minx).c_str();
    e.append_attribute("miny") = ShortNumber(g.miny).c_str();
    e.append_attribute("maxx") = ShortNumber(g.maxx).c_str();
    e.append_attribute("maxy") = ShortNumber(g.maxy).c_str();
  }
  for (int c = 0; c < list.size(); ++c) {
    std::optional<Box> b = bounds(c);
    if (!b || list[c].id.empty() || (!v130 && c == kCrs84)) continue;
    bool swap = v130 && list[c].northFirst;
    pugi::xml_node e = layer.append_child("BoundingBox");
    e.append_attribute(v130 ? "CRS" : "SRS") = list[c].id.c_str();
    e.append_attribute("minx") = ShortNumber(swap ? b->miny : b->minx).c_str();
    e.append_attribute("miny") = ShortNumber(swap ? b->minx : b->miny).c_str();
    e.append_attribute("maxx") = ShortNumber(swap ? b->maxy : b->maxx).c_str();
    e.append_attribute("maxy") = ShortNumber(swap ? b->maxx : b->maxy).c_str();
  }
}

std::string Describe(const Site &site, const Layer &l) {
  const CrsEntry &e = site.catalogue.crs()[l.crs];
  return "'" + l.file + "', " + std::to_string(l.width) + " x " + std::to_string(l.height) +
         " pixels in " + (e.name.empty() ? "its own CRS" : e.name) + ", one view through " +
         "the module for each map";
}

}  // namespace

std::string WmsCapabilities(const Site &site, const std::string &base, bool v130) {
  const Catalogue &cat = site.catalogue;
  const std::string href = base + "/wms?";
  pugi::xml_document doc;
  pugi::xml_node root;
  if (v130) {
    root = doc.append_child("WMS_Capabilities");
    root.append_attribute("version") = "1.3.0";
    root.append_attribute("xmlns") = "http://www.opengis.net/wms";
    root.append_attribute("xmlns:xlink") = kXlink;
    root.append_attribute("xmlns:xsi") = "http://www.w3.org/2001/XMLSchema-instance";
    root.append_attribute("xsi:schemaLocation") =
        "http://www.opengis.net/wms http://schemas.opengis.net/wms/1.3.0/capabilities_1_3_0.xsd";
  } else {
    root = doc.append_child("WMT_MS_Capabilities");
    root.append_attribute("version") = "1.1.1";
    root.append_attribute("xmlns:xlink") = kXlink;
  }
  pugi::xml_node service = root.append_child("Service");
  Text(service, "Name", v130 ? "WMS" : "OGC:WMS");
  Text(service, "Title", "rhl serve");
  Text(service, "Abstract",
       "Images drawn through the " + std::string(cat.descriptor().name) +
           " raster handler module, each a layer placed where it lies, and all of them "
           "together as the layer '" + kMosaicId + "'.");
  Link(service, base + "/");
  Text(service, "Fees", "none");
  Text(service, "AccessConstraints", "none");
  if (v130) {
    Text(service, "MaxWidth", std::to_string(kMaxMapSide));
    Text(service, "MaxHeight", std::to_string(kMaxMapSide));
  }

  pugi::xml_node capability = root.append_child("Capability");
  pugi::xml_node request = capability.append_child("Request");
  Operation(request, "GetCapabilities", {v130 ? "text/xml" : "application/vnd.ogc.wms_xml"}, href);
  std::vector<std::string> maps;
  for (const ImageFormat &f : kImageFormats) maps.push_back(f.mime);
  Operation(request, "GetMap", maps, href);
  Operation(request, "GetFeatureInfo", {"text/plain", "application/json"}, href);
  pugi::xml_node exception = capability.append_child("Exception");
  Text(exception, "Format", v130 ? "XML" : "application/vnd.ogc.se_xml");
  Text(exception, "Format", v130 ? "BLANK" : "application/vnd.ogc.se_blank");

  pugi::xml_node top = capability.append_child("Layer");
  top.append_attribute("queryable") = "1";
  Text(top, "Name", kMosaicId);
  Text(top, "Title", "All images");
  Text(top, "Abstract", "Every image below, drawn in this order, the first at the bottom.");
  for (int c = 0; c < cat.crs().size(); ++c) CrsElements(top, site, c, v130);
  Extents(top, site, v130, [&](int c) { return cat.MosaicBounds(c); });
  for (size_t i : cat.mosaic()) {
    const Layer &l = cat[i];
    pugi::xml_node layer = top.append_child("Layer");
    layer.append_attribute("queryable") = "1";
    Text(layer, "Name", l.id);
    Text(layer, "Title", l.title);
    Text(layer, "Abstract", Describe(site, l));
    Extents(layer, site, v130, [&](int c) { return l.bounds[c]; });
  }
  return XmlText(doc);
}

}  // namespace web
}  // namespace rhl
