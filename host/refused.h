// GDAL's options that rhl does not take, each refused by its own name with
// the reason and the way to what it asks for, before the option parser could
// read it as another (-oo as -o o, -ot as -o t) or as stray arguments.
#ifndef RHL_HOST_REFUSED_H
#define RHL_HOST_REFUSED_H

#include <string>
#include <vector>

namespace rhl {

// Throws Usage for the first of `args` (rhl's arguments in order, after its
// command's name) that is an option of gdal_translate (for render) or
// gdalinfo (for info), or one of GDAL's general options, that rhl does not
// take. Values of rhl's own options are not options.
void RefuseForeignOptions(const std::vector<std::string> &args);

}  // namespace rhl

#endif
