// What rhl sees in a link file's text when the module could not open the
// name it holds. The module hands a link's whole text (trailing white space
// trimmed) to its library unchanged, as hosts rely on; links made on Windows
// often hold more than a name: a UTF-8 byte-order mark, quotes, a whole
// Internet shortcut, a file:// address, or a name relative to the link's own
// folder, which the library takes against the folder rhl runs in.
#ifndef RHL_HOST_LINKHINTS_H
#define RHL_HOST_LINKHINTS_H

#include <string>
#include <vector>

namespace rhl {

// Lines to say about the link file `link` (as the user named it), each
// naming what it sees and the fix; none when nothing stands out, or the file
// cannot be read as a link. `cwd` is the folder rhl runs in.
std::vector<std::string> LinkHints(const std::string &link, const std::string &cwd);

}  // namespace rhl

#endif
