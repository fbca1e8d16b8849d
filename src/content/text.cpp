// Plain text: the whole file decoded by the text codec rules and rewritten
// only when the keyword occurs, matched against the text as stored (no
// line-end translation), and written back in its own encoding with only
// the matches changed.
#include "content/content.h"
#include "content/text_codec.h"
#include "keyword/keyword.h"
#include "platform/fs.h"

#include <algorithm>
#include <memory>

namespace tw::content {

namespace {

// The first matches, for the preview.
int note_first_samples(const keyword::Keyword& keyword, PyObject* text,
                       const std::vector<keyword::Match>& matches)
{
    if (!keyword.samples)
        return 0;
    std::size_t wanted = static_cast<std::size_t>(std::max<Py_ssize_t>(keyword.samples->limit, 0));
    for (std::size_t i = 0; i < matches.size() && i < wanted; ++i) {
        const keyword::Match& match = matches[i];
        if (keyword::note_sample(*keyword.samples, text, match.start, match.end, match.replacement.get()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

int decide_text_content(PyObject* file_path, const keyword::Keyword& keyword, Decision& out)
{
    out = Decision{};
    auto decoded = std::make_shared<DecodedText>();
    if (read_text_file(file_path, *decoded) < 0)
        return -1;
    std::vector<keyword::Match> matches;
    if (keyword::find_matches(keyword, decoded->text.get(), matches) < 0 ||
        note_first_samples(keyword, decoded->text.get(), matches) < 0)
        return -1;
    if (matches.empty())
        return 0;
    auto splices = std::make_shared<std::vector<Splice>>();
    splices->reserve(matches.size());
    for (keyword::Match& match : matches)
        splices->push_back({match.start, match.end, std::move(match.replacement)});
    out.matches = static_cast<Py_ssize_t>(splices->size());
    out.encoding = encoding_name(*decoded);
    out.write = [path = py::Ref::borrow(file_path), decoded, splices]() {
        return platform::replace_file(path.get(), [&](PyObject* temp_path) {
            return write_spliced(temp_path, *decoded, *splices);
        });
    };
    return 0;
}

py::Ref replace_text_content(PyObject* file_path, PyObject* old_keyword, PyObject* new_keyword)
{
    return decide_and_write(file_path, old_keyword, new_keyword, decide_text_content);
}

}  // namespace tw::content
