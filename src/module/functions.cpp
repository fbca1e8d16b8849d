// The ten module functions: names, first lines, parameters and locals as
// their code objects report them, and the C++ body each one runs.
#include "module/functions.h"

#include "module/calling.h"

#include "content/content.h"
#include "keyword/keyword.h"
#include "rename/rename.h"
#include "ui/ui.h"

namespace tw::module {

namespace {

using py::Ref;
using Args = PyObject* const*;

constexpr FunctionSpec g_functions[] = {
    {"convert_to_regex", 17, {"pattern"}, {},
     [](Args a) { return keyword::convert_to_regex(a[0]); }},
    {"replace_folder_names", 21, {"root_folder", "old_keyword", "new_keyword", "recursive"},
     {"pattern", "foldername", "subfolders", "filenames", "new_foldername"},
     [](Args a) { return rename::replace_folder_names(a[0], a[1], a[2], a[3]); }},
    {"replace_file_names", 33, {"root_folder", "old_keyword", "new_keyword", "recursive"},
     {"pattern", "foldername", "subfolders", "filenames", "filename", "new_filename", "src", "dst"},
     [](Args a) { return rename::replace_file_names(a[0], a[1], a[2], a[3]); }},
    {"replace_pptx_content", 46, {"file_path", "old_keyword", "new_keyword"},
     {"pattern", "prs", "slide", "shape"},
     [](Args a) { return content::replace_pptx_content(a[0], a[1], a[2]); }},
    {"replace_docx_content", 57, {"file_path", "old_keyword", "new_keyword"},
     {"pattern", "doc", "paragraph", "table", "row", "cell"},
     [](Args a) { return content::replace_docx_content(a[0], a[1], a[2]); }},
    {"replace_xlsx_content", 71, {"file_path", "old_keyword", "new_keyword"},
     {"pattern", "wb", "sheet", "row", "cell", "original_value", "new_value", "e"},
     [](Args a) { return content::replace_xlsx_content(a[0], a[1], a[2]); }},
    {"replace_csv_content", 91, {"file_path", "old_keyword", "new_keyword"},
     {"pattern", "file", "reader", "rows", "writer", "row", "new_row", "cell"},
     [](Args a) { return content::replace_csv_content(a[0], a[1], a[2]); }},
    {"replace_text_content", 104, {"file_path", "old_keyword", "new_keyword"},
     {"pattern", "file", "content", "new_content"},
     [](Args a) { return content::replace_text_content(a[0], a[1], a[2]); }},
    {"replace_file_contents", 114, {"root_folder", "old_keyword", "new_keyword", "recursive"},
     {"foldername", "subfolders", "filenames", "filename", "filepath", "ext"},
     [](Args a) { return content::replace_file_contents(a[0], a[1], a[2], a[3]); }},
    {"main", 133, {},
     {"ico", "image_file", "layout", "window", "event", "values", "folder_path", "old_keyword",
      "new_keyword", "recursive"},
     [](Args) { return ui::main_window(); }},
};

constexpr bool params_fit()
{
    for (const FunctionSpec& spec : g_functions)
        if (spec.params.size() > static_cast<std::size_t>(max_params))
            return false;
    return true;
}
// The binding writes each function's parameters into a max_params array.
static_assert(params_fit(), "a module function has more parameters than max_params");

}  // namespace

std::span<const FunctionSpec> function_table() { return g_functions; }

}  // namespace tw::module
