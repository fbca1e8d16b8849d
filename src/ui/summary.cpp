#include "ui/summary.h"

#include "ui/reasons.h"

#include <algorithm>
#include <unordered_set>

namespace tw::ui {

namespace {

// Characters of the original message shown in a table cell.
constexpr Py_ssize_t k_original_width = 200;

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
        return newline && list_ ? py::Ref::steal(PyUnicode_Join(newline, list_.get())) : py::Ref();
    }

private:
    py::Ref list_;
};

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

    long not_done() const { return failed + unlisted_folders; }
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
    bool group = ending.error && PyObject_TypeCheck(
        ending.error, reinterpret_cast<PyTypeObject*>(PyExc_BaseExceptionGroup));
    if (group && flatten_group(ending.error, failures, known) < 0)
        return -1;
    unrecorded = failures.size() - from_report;
    return 0;
}

// The path the run's note names ("while renaming <path>"), if it names one.
py::Ref path_in_note(PyObject* note)
{
    for (py::Id prefix : {"while replacing content in "_id, "while renaming "_id,
                          "while listing "_id}) {
        PyObject* start = prefix.get();
        if (!start)
            return {};
        Py_ssize_t length = PyUnicode_GET_LENGTH(start);
        Py_ssize_t hit = PyUnicode_Tailmatch(note, start, 0, length, -1);
        if (hit < 0)
            return {};
        if (hit)
            return py::Ref::steal(PyUnicode_Substring(note, length, PyUnicode_GET_LENGTH(note)));
    }
    return py::Ref::borrow(note);
}

// Where a failure happened: the path its notes name (the run notes it), or
// the file name an OSError carries; "" when neither says.
py::Ref failure_place(PyObject* error)
{
    std::vector<py::Ref> notes;
    if (notes_of(error, notes) < 0)
        return {};
    if (!notes.empty())
        return path_in_note(notes.front().get());
    if (PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(PyExc_OSError))) {
        py::Ref filename = py::getattr(error, "filename"_id);
        if (filename && PyUnicode_Check(filename.get()))
            return filename;
        if (!filename && drop_ordinary_error() < 0)
            return {};
    }
    return py::Ref::borrow(""_id.get());
}

int add_failed_items(const std::vector<py::Ref>& errors, std::vector<FailedItem>& out)
{
    for (const py::Ref& error : errors) {
        FailedItem item;
        if (!(item.place = failure_place(error.get())) || !(item.reason = reason_text(error.get()))
            || !(item.original = original_text(error.get(), k_original_width)))
            return -1;
        out.push_back(std::move(item));
    }
    return 0;
}

// ---- the first line ------------------------------------------------------------

py::Ref head_of_run(const RunEnding& ending, const Counts& counts)
{
    if (ending.stopped_early)
        return py::Ref::borrow("替换已取消！"_id.get());
    if (counts.not_done() == 0)
        return py::Ref::borrow("替换完成！"_id.get());
    py::Ref number = py::Ref::steal(Py_BuildValue("(l)", counts.not_done()));
    return counts.changed == 0 ? format_text("替换失败：%d 项未能完成，没有做任何修改。"_id, number)
                               : format_text("替换完成，%d 项未能完成。"_id, number);
}

// The operation raised an error that is not about single items (a bad
// keyword, a full disk): said in Chinese, then as the program met it.
int describe_ending_error(const RunEnding& ending, Summary& summary, Lines& body)
{
    py::Ref problem = keyword_problem(ending.error, ending.old_keyword, ending.new_keyword);
    if (!problem && PyErr_Occurred())
        return -1;
    if (!problem && !(problem = reason_text(ending.error)))
        return -1;
    summary.head = format_text("替换失败：%s"_id, py::Ref::steal(PyTuple_Pack(1, problem.get())));
    std::vector<py::Ref> notes;
    if (!summary.head || body.add(original_text(ending.error)) < 0 ||
        notes_of(ending.error, notes) < 0)
        return -1;
    for (const py::Ref& note : notes) {
        if (body.add(note) < 0)
            return -1;
    }
    return 0;
}

}  // namespace

int make_summary(const RunEnding& ending, Summary& summary)
{
    std::vector<py::Ref> errors;
    std::size_t unrecorded = 0;
    if (collect_failures(ending, errors, unrecorded) < 0 ||
        add_failed_items(errors, summary.failures) < 0)
        return -1;
    Counts counts = counts_of(ending.report, unrecorded);
    Lines body;
    bool ended_on_error = ending.error && !PyObject_TypeCheck(
        ending.error, reinterpret_cast<PyTypeObject*>(PyExc_BaseExceptionGroup));
    if (ended_on_error ? describe_ending_error(ending, summary, body) < 0
                       : !(summary.head = head_of_run(ending, counts)))
        return -1;
    // A run that ended on an error before any item says nothing of counts.
    if ((!ended_on_error || counts.seen > 0) && body.add(counts_line(ending.mode, counts)) < 0)
        return -1;
    if (ending.stopped_early &&
        body.add(py::Ref::borrow("已按“取消”停止：其余项目未处理，保持原样。"_id.get())) < 0)
        return -1;
    summary.body = body.joined();
    return summary.body ? 0 : -1;
}

}  // namespace tw::ui
