#include "wms.h"

#include <stdio.h>
#include <strings.h>

#include "featureinfo.h"

namespace rhl {
namespace web {
namespace {

// Why a request is refused: an OGC exception code (empty: none applies)
// and words.
struct Refusal {
  std::string code, text;
};

bool Is(const std::string &value, const char *name) {
  return strcasecmp(value.c_str(), name) == 0;
}

// Which version a request speaks: 1.3.0 unless it says an earlier one (or,
// saying none, names its CRS as 1.1.1 does, by SRS).
bool SpeaksV130(const HttpRequest &q) {
  const std::string *version = q.Param("VERSION");
  if (version == nullptr) version = q.Param("WMTVER");
  if (version == nullptr || version->empty())
    return !(q.Param("SRS") != nullptr && q.Param("CRS") == nullptr);
  return version->compare(0, 3, "1.3") >= 0 || version->size() < 3;
}

void Exception(HttpResponse &res, bool v130, const Refusal &r, int status = 200) {
  pugi::xml_document doc;
  pugi::xml_node root = doc.append_child("ServiceExceptionReport");
  root.append_attribute("version") = v130 ? "1.3.0" : "1.1.1";
  if (v130) {
    root.append_attribute("xmlns") = "http://www.opengis.net/ogc";
    root.append_attribute("xmlns:xsi") = "http://www.w3.org/2001/XMLSchema-instance";
    root.append_attribute("xsi:schemaLocation") =
        "http://www.opengis.net/ogc http://schemas.opengis.net/wms/1.3.0/exceptions_1_3_0.xsd";
  }
  pugi::xml_node e = root.append_child("ServiceException");
  if (!r.code.empty()) e.append_attribute("code") = r.code.c_str();
  e.text().set(Printable(r.text).c_str());
  res = HttpResponse();
  res.status = status;
  res.type = v130 ? "text/xml" : "application/vnd.ogc.se_xml";
  res.body = XmlText(doc);
  res.reason = (r.code.empty() ? "" : r.code + ": ") + r.text;
}

const std::string *Required(const HttpRequest &q, const char *name, Refusal *r) {
  const std::string *value = q.Param(name);
  if (value == nullptr || value->empty()) {
    *r = {"MissingParameterValue", std::string("the request has no ") + name};
    return nullptr;
  }
  return value;
}

bool ReadSide(const HttpRequest &q, const char *name, int *side, Refusal *r) {
  const std::string *text = Required(q, name, r);
  int64_t v = 0;
  if (text == nullptr) return false;
  if (!ReadWhole(*text, kMaxMapSide, &v) || v < 1) {
    *r = {"InvalidParameterValue", std::string(name) + " is a whole number from 1 to " +
                                       std::to_string(kMaxMapSide) + ", not '" + *text + "'"};
    return false;
  }
  *side = (int)v;
  return true;
}

// The layers names stand for, in order; LayerNotDefined for a name no
// layer has.
bool ReadLayers(const Site &s, const std::string &names, std::vector<size_t> *layers,
                Refusal *r) {
  for (const std::string &name : Split(names, ',')) {
    std::vector<size_t> found = s.catalogue.Resolve(name, true);
    if (found.empty() && name != kMosaicId) {
      *r = {"LayerNotDefined", "there is no layer '" + name + "'"};
      return false;
    }
    layers->insert(layers->end(), found.begin(), found.end());
  }
  return true;
}

struct MapParams {
  MapRequest map;
  const ImageFormat *format = nullptr;
  Background background;
  bool v130 = true;
};

// The map's size, format and background: read first, so that a map refused
// for anything else can still be answered with a blank one.
bool ReadOutput(const HttpRequest &q, bool forInfo, MapParams *p, Refusal *r) {
  if (!ReadSide(q, "WIDTH", &p->map.width, r) || !ReadSide(q, "HEIGHT", &p->map.height, r))
    return false;
  if (!forInfo) {
    const std::string *text = Required(q, "FORMAT", r);
    if (text == nullptr) return false;
    if ((p->format = FormatByMime(*text)) == nullptr) {
      *r = {"InvalidFormat", "FORMAT '" + *text + "' is not one of image/png, image/jpeg, image/webp"};
      return false;
    }
  }
  p->background.transparent = false;
  if (const std::string *t = q.Param("TRANSPARENT")) {
    if (!Is(*t, "TRUE") && !Is(*t, "FALSE")) {
      *r = {"InvalidParameterValue", "TRANSPARENT is TRUE or FALSE, not '" + *t + "'"};
      return false;
    }
    p->background.transparent = Is(*t, "TRUE");
  }
  if (const std::string *bg = q.Param("BGCOLOR")) {
    unsigned value = 0;
    int used = 0;
    if (bg->size() != 8 || !Is(bg->substr(0, 2), "0x") ||
        sscanf(bg->c_str() + 2, "%6x%n", &value, &used) != 1 || used != 6) {
      *r = {"InvalidParameterValue", "BGCOLOR is 0xRRGGBB, not '" + *bg + "'"};
      return false;
    }
    p->background.rgb[0] = (uint8_t)(value >> 16);
    p->background.rgb[1] = (uint8_t)(value >> 8);
    p->background.rgb[2] = (uint8_t)value;
  }
  return true;
}

// GetMap's parameters (GetFeatureInfo's too, without FORMAT).
bool ReadMap(const Site &s, const HttpRequest &q, bool forInfo, MapParams *p, Refusal *r) {
  const bool v130 = p->v130;
  if (!ReadOutput(q, forInfo, p, r)) return false;
  const std::string *text = Required(q, "LAYERS", r);
  if (text == nullptr || !ReadLayers(s, *text, &p->map.layers, r)) return false;
  if (const std::string *styles = q.Param("STYLES")) {
    for (const std::string &style : Split(*styles, ',')) {
      if (!style.empty() && !Is(style, "default")) {
        *r = {"StyleNotDefined", "there is no style '" + style + "': every layer has one, " +
                                     "the default"};
        return false;
      }
    }
  }
  const char *crsName = v130 ? "CRS" : "SRS";
  if ((text = Required(q, crsName, r)) == nullptr) return false;
  int crs = s.catalogue.crs().Find(*text);
  if (crs < 0) {
    *r = {v130 ? "InvalidCRS" : "InvalidSRS",
          std::string(crsName) + " '" + *text + "' is not one this server lists"};
    return false;
  }
  p->map.frame = Frame::Crs(crs);
  if ((text = Required(q, "BBOX", r)) == nullptr) return false;
  std::vector<std::string> parts = Split(*text, ',');
  double v[4];
  bool numbers = parts.size() == 4;
  for (size_t i = 0; numbers && i < 4; ++i) numbers = ReadNumber(parts[i], &v[i]);
  if (!numbers) {
    *r = {"InvalidParameterValue", "BBOX is four numbers, minx,miny,maxx,maxy, not '" + *text + "'"};
    return false;
  }
  // 1.3.0 gives the box in the CRS's own axis order: latitude first in EPSG:4326.
  const bool swap = v130 && s.catalogue.crs()[crs].northFirst;
  p->map.box = swap ? Box{v[1], v[0], v[3], v[2]} : Box{v[0], v[1], v[2], v[3]};
  if (!(v[0] < v[2] && v[1] < v[3])) {
    *r = {"InvalidParameterValue", "BBOX '" + *text + "' is empty or inverted: each minimum "
                                   "must lie below its maximum"};
    return false;
  }
  return true;
}

// EXCEPTIONS=BLANK: a refused map is answered with an empty one, where its
// size and format are known.
bool WantsBlank(const HttpRequest &q) {
  const std::string *e = q.Param("EXCEPTIONS");
  return e != nullptr && (Is(*e, "BLANK") || Is(*e, "application/vnd.ogc.se_blank"));
}

void GetMap(const Site &s, const HttpRequest &q, bool v130, HttpResponse &res) {
  MapParams p;
  p.v130 = v130;
  Refusal r;
  if (!ReadMap(s, q, false, &p, &r)) {
    if (WantsBlank(q) && p.format != nullptr && p.map.width > 0 && p.map.height > 0) {
      std::vector<uint8_t> blank((size_t)p.map.width * p.map.height * 4, 0);
      std::string error;
      if (Encode(*p.format, blank.data(), p.map.width, p.map.height, p.background, &res.body,
                 &error)) {
        res.type = p.format->mime;
        res.reason = r.text;
        return;
      }
    }
    return Exception(res, v130, r);
  }
  std::string error;
  if (int failed = AnswerMap(s, p.map, *p.format, p.background, res, &error))
    Exception(res, v130, {"", error}, failed);
}

void GetFeatureInfo(const Site &s, const HttpRequest &q, bool v130, HttpResponse &res) {
  MapParams p;
  p.v130 = v130;
  Refusal r;
  if (!ReadMap(s, q, true, &p, &r)) return Exception(res, v130, r);
  std::vector<size_t> layers;
  const std::string *text = Required(q, "QUERY_LAYERS", &r);
  if (text == nullptr || !ReadLayers(s, *text, &layers, &r)) return Exception(res, v130, r);
  bool json = false;
  if (const std::string *f = q.Param("INFO_FORMAT")) {
    json = Is(*f, "application/json") || Is(*f, "application/geo+json");
    if (!json && !Is(*f, "text/plain"))
      return Exception(res, v130, {"InvalidFormat", "INFO_FORMAT '" + *f +
                                                        "' is not text/plain or application/json"});
  }
  const char *iName = v130 ? "I" : "X", *jName = v130 ? "J" : "Y";
  int64_t i = 0, j = 0;
  const std::string *it = Required(q, iName, &r), *jt = it ? Required(q, jName, &r) : nullptr;
  if (jt == nullptr) return Exception(res, v130, r);
  if (!ReadWhole(*it, p.map.width - 1, &i) || !ReadWhole(*jt, p.map.height - 1, &j))
    return Exception(res, v130, {"InvalidPoint", std::string(iName) + "," + jName + " " + *it +
                                                     "," + *jt + " is not a pixel of the " +
                                                     std::to_string(p.map.width) + " x " +
                                                     std::to_string(p.map.height) + " map"});
  int64_t count = 1;
  if (const std::string *c = q.Param("FEATURE_COUNT")) {
    if (!ReadWhole(*c, 1000000, &count) || count < 1)
      return Exception(res, v130, {"InvalidParameterValue",
                                   "FEATURE_COUNT is a whole number from 1, not '" + *c + "'"});
  }
  const Box &b = p.map.box;
  double x = b.minx + (i + 0.5) * (b.maxx - b.minx) / p.map.width;
  double y = b.maxy - (j + 0.5) * (b.maxy - b.miny) / p.map.height;
  PointAnswer answer = QueryPoint(s.catalogue, p.map.frame, x, y, layers);
  if (!answer.made) return Exception(res, v130, {"", answer.error}, answer.timedOut ? 504 : 500);
  if (answer.hits.size() > (size_t)count) answer.hits.resize((size_t)count);
  if (json) {
    res.type = "application/json";
    res.body = PointJson(s.catalogue, p.map.frame, x, y, answer)
                   .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } else {
    res.type = "text/plain; charset=utf-8";
    res.body = PointText(s.catalogue, p.map.frame, x, y, answer);
  }
}

}  // namespace

void AnswerWms(const Site &s, const HttpRequest &q, HttpResponse &res) {
  const bool v130 = SpeaksV130(q);
  const std::string *service = q.Param("SERVICE");
  if (service != nullptr && !service->empty() && !Is(*service, "WMS"))
    return Exception(res, v130, {"InvalidParameterValue",
                                 "this is a WMS; SERVICE '" + *service + "' is not served here"});
  Refusal r;
  const std::string *request = Required(q, "REQUEST", &r);
  if (request == nullptr) return Exception(res, v130, r);
  if (Is(*request, "GetCapabilities") || Is(*request, "capabilities")) {
    const std::string *format = q.Param("FORMAT");
    res.type = v130 || (format != nullptr && Is(*format, "text/xml"))
                   ? "text/xml"
                   : "application/vnd.ogc.wms_xml";
    res.body = WmsCapabilities(s, BaseUrl(s, q), v130);
  } else if (Is(*request, "GetMap") || Is(*request, "map")) {
    GetMap(s, q, v130, res);
  } else if (Is(*request, "GetFeatureInfo") || Is(*request, "feature_info")) {
    GetFeatureInfo(s, q, v130, res);
  } else {
    Exception(res, v130, {"OperationNotSupported",
                          "REQUEST '" + *request + "' is not one of GetCapabilities, GetMap, "
                          "GetFeatureInfo"});
  }
}

}  // namespace web
}  // namespace rhl
