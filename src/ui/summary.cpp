#include "ui/summary.h"

#include "ui/toolkit.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace tw::ui {

namespace {

// Characters of an error message kept in the failure list.
constexpr Py_ssize_t k_reason_width = 120;

// Drops an ordinary error met while describing another; an interrupt stays.
int drop_ordinary_error()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

// Lines of text, joined with newlines at the end.
class Lines {
public:
    Lines() : list_(py::Ref::steal(PyList_New(0))) {}

    int add(const py::Ref& line) { return line && list_ ? PyList_Append(list_.get(), line.get()) : -1; }

    py::Ref joined() const
    {
        PyObject* newline = "\n"_id.get();
        return newline ? py::Ref::steal(PyUnicode_Join(newline, list_.get())) : py::Ref();
    }

private:
    py::Ref list_;
};

// str(error), or its type's name when that says nothing (or fails).
py::Ref error_message(PyObject* error)
{
    py::Ref text = py::Ref::steal(PyObject_Str(error));
    if (!text && drop_ordinary_error() < 0)
        return {};
    if (text && PyUnicode_GetLength(text.get()) > 0)
        return text;
    return py::Ref::steal(PyType_GetName(Py_TYPE(error)));
}

// The notes (PEP 678) an error carries, as text; a malformed __notes__ is
// ignored rather than hiding the error itself.
int notes_of(PyObject* error, std::vector<py::Ref>& notes)
{
    py::Ref all = py::getattr(error, "__notes__"_id);
    if (!all)
        return drop_ordinary_error();
    if (PyUnicode_Check(all.get()))
        return 0;
    int status = py::for_each(all.get(), [&](PyObject* note) {
        py::Ref text = py::Ref::steal(PyObject_Str(note));
        if (!text)
            return -1;
        notes.push_back(std::move(text));
        return 0;
    });
    return status < 0 ? drop_ordinary_error() : 0;
}

// ---- counts -------------------------------------------------------------------

struct Counts {
    long seen, changed, passed_over, failed, unlisted_folders;
};

// The report's counts, with the failures that only the exception group
// holds added (an operation that does not fill the report may still raise
// one). Folders that could not be listed are among the failures listed but
// are not items, so the report does not count them as failed.
Counts counts_of(const run::Report& report, std::size_t unrecorded)
{
    Counts counts{report.seen.load(), report.changed.load(), report.passed_over.load(),
                  report.failed.load() + static_cast<long>(unrecorded),
                  report.unlisted_folders.load()};
    counts.seen = std::max(counts.seen, counts.changed + counts.passed_over + counts.failed);
    return counts;
}

py::Ref counts_line(ModeKind mode, const Counts& counts)
{
    const char* noun = mode == ModeKind::folders ? "文件夹" : "文件";
    const char* verb = mode == ModeKind::contents ? "修改" : "重命名";
    py::Ref line = format_text("共处理 %d 个%s：已%s %d 个，跳过 %d 个，失败 %d 个。"_id,
                               py::Ref::steal(Py_BuildValue("(lsslll)", counts.seen, noun, verb,
                                                            counts.changed, counts.passed_over,
                                                            counts.failed)));
    if (!line || counts.unlisted_folders == 0)
        return line;
    // What lies in a folder that could not be read was never reached.
    py::Ref unlisted = format_text("另有 %d 个文件夹无法读取，其中的内容未处理。"_id,
                                   py::Ref::steal(Py_BuildValue("(l)", counts.unlisted_folders)));
    return unlisted ? py::Ref::steal(PyUnicode_Concat(line.get(), unlisted.get())) : py::Ref();
}

// ---- failures -------------------------------------------------------------------

// The exceptions of a group and of the groups inside it, in order.
int flatten_group(PyObject* error, std::vector<py::Ref>& out, std::unordered_set<PyObject*>& known)
{
    if (!PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(PyExc_BaseExceptionGroup))) {
        if (known.insert(error).second)
            out.push_back(py::Ref::borrow(error));
        return 0;
    }
    py::Ref inner = py::getattr(error, "exceptions"_id);
    return inner ? py::for_each(inner.get(), [&](PyObject* one) {
        return flatten_group(one, out, known);
    }) : -1;
}

// The failed items: those the report recorded (workbooks whose handler
// reported its own failure among them), then those only the group holds;
// `unrecorded` receives how many of these there are.
int collect_failures(const RunEnding& ending, std::vector<py::Ref>& failures,
                     std::size_t& unrecorded)
{
    std::unordered_set<PyObject*> known;
    PyObject* recorded = ending.report.failures();
    if (!recorded || py::for_each(recorded, [&](PyObject* one) {
            return flatten_group(one, failures, known);
        }) < 0)
        return -1;
    std::size_t from_report = failures.size();
    if (ending.error && flatten_group(ending.error, failures, known) < 0)
        return -1;
    unrecorded = failures.size() - from_report;
    return 0;
}

}  // namespace

py::Ref failure_reason(PyObject* error)
{
    py::Ref message = error_message(error);
    py::Ref lines = message ? py::Ref::steal(PyUnicode_Splitlines(message.get(), 0)) : py::Ref();
    if (!lines)
        return {};
    py::Ref first = PyList_GET_SIZE(lines.get()) > 0
        ? py::Ref::borrow(PyList_GET_ITEM(lines.get(), 0)) : py::Ref::borrow(message.get());
    if (PyUnicode_GET_LENGTH(first.get()) > k_reason_width) {
        first = py::Ref::steal(PyUnicode_Substring(first.get(), 0, k_reason_width - 1));
        first = first ? format_text("%s…"_id, py::Ref::steal(PyTuple_Pack(1, first.get()))) : py::Ref();
    }
    py::Ref type_name = first ? py::Ref::steal(PyType_GetName(Py_TYPE(error))) : py::Ref();
    if (!type_name)
        return {};
    int same = py::equals(type_name.get(), first.get());
    if (same != 0)
        return same < 0 ? py::Ref() : first;
    return py::Ref::steal(PyUnicode_FromFormat("%U: %U", type_name.get(), first.get()));
}

namespace {

// Where a failure happened: its notes (the run notes the path there), or
// the file name an OSError carries. Empty (no error) when neither says.
py::Ref failure_place(PyObject* error)
{
    std::vector<py::Ref> notes;
    if (notes_of(error, notes) < 0)
        return {};
    if (!notes.empty()) {
        py::Ref list = py::Ref::steal(PyList_New(0));
        for (const py::Ref& note : notes) {
            if (!list || PyList_Append(list.get(), note.get()) < 0)
                return {};
        }
        PyObject* separator = "；"_id.get();
        return separator ? py::Ref::steal(PyUnicode_Join(separator, list.get())) : py::Ref();
    }
    if (PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        py::Ref filename = py::getattr(error, "filename"_id);
        if (filename && PyUnicode_Check(filename.get()))
            return filename;
        if (!filename && drop_ordinary_error() < 0)
            return {};
    }
    return py::Ref::borrow(""_id.get());
}

py::Ref failure_line(PyObject* error)
{
    py::Ref place = failure_place(error);
    py::Ref reason = place ? failure_reason(error) : py::Ref();
    if (!reason)
        return {};
    if (PyUnicode_GET_LENGTH(place.get()) == 0)
        return reason;
    return format_text("%s：%s"_id, py::Ref::steal(PyTuple_Pack(2, place.get(), reason.get())));
}

int add_failure_list(Lines& lines, const std::vector<py::Ref>& failures)
{
    std::size_t shown = std::min(failures.size(), k_listed_failures);
    for (std::size_t i = 0; i < shown; ++i) {
        if (lines.add(failure_line(failures[i].get())) < 0)
            return -1;
    }
    if (failures.size() > shown)
        return lines.add(format_text("…（其余 %d 个未列出）"_id,
                                     py::Ref::steal(Py_BuildValue("(n)", static_cast<Py_ssize_t>(
                                         failures.size() - shown)))));
    return 0;
}

// ---- the texts ------------------------------------------------------------------

// "替换失败：" followed by the text.
py::Ref failed_with(const py::Ref& text)
{
    return format_text("替换失败：%s"_id, py::Ref::steal(PyTuple_Pack(1, text.get())));
}

// The operation raised an error that is not about single items: its
// message and notes, and the counts when it had got anywhere.
py::Ref error_text(const RunEnding& ending)
{
    Lines lines;
    py::Ref message = error_message(ending.error);
    py::Ref first = message ? failed_with(message) : py::Ref();
    std::vector<py::Ref> notes;
    if (lines.add(first) < 0 || notes_of(ending.error, notes) < 0)
        return {};
    for (const py::Ref& note : notes) {
        if (lines.add(note) < 0)
            return {};
    }
    Counts counts = counts_of(ending.report, 0);
    if (counts.seen > 0 && lines.add(counts_line(ending.mode, counts)) < 0)
        return {};
    return lines.joined();
}

py::Ref run_text(const RunEnding& ending)
{
    std::vector<py::Ref> failures;
    std::size_t unrecorded = 0;
    if (collect_failures(ending, failures, unrecorded) < 0)
        return {};
    Counts counts = counts_of(ending.report, unrecorded);
    py::Ref counts_text = counts_line(ending.mode, counts);
    if (!counts_text)
        return {};
    Lines lines;
    bool failed = !failures.empty() || counts.failed > 0 || counts.unlisted_folders > 0 ||
                  ending.error;
    int status = failed
        ? lines.add(failed_with(counts_text))
        : lines.add(py::Ref::borrow((ending.cancelled ? "替换已取消！"_id : "替换完成！"_id).get()))
              || lines.add(counts_text);
    if (status == 0 && ending.cancelled)
        status = lines.add(py::Ref::borrow("已按“取消”停止：其余项目未处理，保持原样。"_id.get()));
    if (status != 0 || add_failure_list(lines, failures) < 0)
        return {};
    return lines.joined();
}

}  // namespace

py::Ref summary_text(const RunEnding& ending)
{
    if (ending.error &&
        !PyObject_TypeCheck(ending.error, reinterpret_cast<PyTypeObject*>(PyExc_BaseExceptionGroup)))
        return error_text(ending);
    return run_text(ending);
}

}  // namespace tw::ui
