#include "content/content.h"

namespace tw::content {

py::Ref decide_and_write(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword,
                         Decide decide)
{
    keyword::Compiled compiled;
    if (keyword::compile_keyword(old_keyword, new_keyword, compiled) < 0)
        return {};
    Decision decision;
    if (decide(file_path, compiled.keyword(), decision) < 0)
        return {};
    if (decision.write && decision.write() < 0)
        return {};
    return py::none();
}

}  // namespace tw::content
