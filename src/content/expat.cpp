#include "content/expat.h"

#include "py/ref.h"

#include <cstring>

namespace tw::content {

namespace {

bool usable(const PyExpat_CAPI& api)
{
    if (!api.magic || std::strcmp(api.magic, PyExpat_CAPI_MAGIC) != 0 ||
        api.size < static_cast<int>(sizeof(PyExpat_CAPI)))
        return false;
    if (api.MAJOR_VERSION < 2 || (api.MAJOR_VERSION == 2 && api.MINOR_VERSION < 4))
        return false;
    return api.ParserCreate_MM && api.ParserFree && api.Parse && api.SetUserData && api.SetElementHandler &&
           api.SetCharacterDataHandler && api.SetCommentHandler && api.SetProcessingInstructionHandler &&
           api.SetStartDoctypeDeclHandler && api.SetDefaultHandlerExpand;
}

}  // namespace

// The table lives in pyexpat's shared library, which stays loaded once
// imported; this module refuses a second interpreter, so one pointer serves.
const PyExpat_CAPI* interpreter_expat()
{
    static const PyExpat_CAPI* loaded = nullptr;
    if (loaded)
        return loaded;
    auto* api = static_cast<const PyExpat_CAPI*>(PyCapsule_Import(PyExpat_CAPSULE_NAME, 0));
    if (!api || !usable(*api))
        return nullptr;
    loaded = api;
    return loaded;
}

}  // namespace tw::content
