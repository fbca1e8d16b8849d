// The checks every read and every replacement of a run goes through, from
// the steps in os.h.
#include "platform/core/native.h"
#include "platform/core/os.h"

namespace tw::platform::native {

Error may_write(const String& path)
{
    String target;
    if (Error error = os::resolve_target(path, target))
        return error;
    os::Target file;
    return file.open(target);
}

Error read_checked(const String& path, const FileId* expected, std::string& bytes)
{
    String target;
    if (Error error = os::resolve_target(path, target))
        return error;
    os::File file;
    if (Error error = file.open_checked(target, expected))
        return error;
    FileInfo info;
    if (Error error = file.info(info))
        return error;
    return file.read_all(bytes, info.size);
}

}  // namespace tw::platform::native
