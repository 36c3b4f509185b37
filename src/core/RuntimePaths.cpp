#include "core/RuntimePaths.h"

#include <cstdlib>

namespace qb {

RuntimePaths RuntimePaths::current()
{
    const char* directory = std::getenv("QUILLBRIGHT_RUNTIME_DIR");
    if (directory == nullptr || *directory == '\0') return RuntimePaths{};
    return inDirectory(directory);
}

RuntimePaths RuntimePaths::inDirectory(const std::string& directory)
{
    std::string base = directory;
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    return RuntimePaths{base + "/quillbright.sock", base + "/quillbright.pid", base + "/quillbright.status"};
}

} // namespace qb
