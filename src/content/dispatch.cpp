// Hands every file under a folder to the content handler for its extension.
//
// Before a handler sees a file, the run passes over what is not for it: the
// project's own temporary files, anything that is not a regular file,
// the old binary formats, and, for the plain-text handler, binary files. A
// file reached through a link that leads outside the chosen folder is an
// error. A handler's error is recorded against its file and the walk goes on.
#include "content/content.h"
#include "content/text_bytes.h"
#include "content/text_scan.h"

#include "platform/core/ascii.h"
#include "platform/fs.h"
#include "py/names.h"
#include "run/kept.h"
#include "run/operation.h"
#include "run/probe.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tw::content {

namespace {

using run::ItemKind;
using run::PassOver;
using run::Verdict;

// What a plan keeps of its decision on a file for the run after the preview.
enum class Keep {
    nothing,  // the run decides afresh
    verdict,  // whether the file changes; its write is decided again
    write,    // the decided write too, within the budget (run::KeptDecisions)
};

struct Route {
    py::Id ext;
    py::Id handler;  // the module global a run calls
    Decide decide;   // what a plan asks
    bool plain_text;
    // The workbook handler prints that it saved, so its write is finished
    // before it returns; the others' writes may wait for the run's batch.
    bool staged = true;
    // Documents hold their whole loaded tree in a decided write, too much
    // to keep; the workbook handler prints its cells as a run decides them.
    Keep keep = Keep::write;
};

// A plan asks the workbook handler without its console lines.
int decide_workbook(PyObject* file_path, const keyword::Keyword& keyword, Decision& out)
{
    return decide_xlsx_content(file_path, keyword, false, out);
}

// Checked in order; the first matching extension decides.
const Route g_routes[] = {
    {".pptx"_id, "replace_pptx_content"_id, decide_pptx_content, false, true, Keep::verdict},
    {".docx"_id, "replace_docx_content"_id, decide_docx_content, false, true, Keep::verdict},
    {".xlsx"_id, "replace_xlsx_content"_id, decide_workbook, false, false, Keep::nothing},
    {".csv"_id, "replace_csv_content"_id, decide_csv_content, false},
};

// ".txt", and every extension not otherwise handled.
const Route g_plain_text = {".txt"_id, "replace_text_content"_id, decide_text_content, true};

// Old binary formats the handlers cannot read: left untouched.
const py::Id g_skipped[] = {".ppt"_id, ".doc"_id, ".xls"_id};

// os.path.splitext(filename)[1].lower()
py::Ref extension_of(PyObject* filename)
{
    py::Ref parts = run::split_extension(filename);
    if (!parts)
        return {};
    py::Ref ext = py::Ref::steal(PySequence_GetItem(parts.get(), 1));
    return ext ? py::call_method(ext.get(), "lower"_id) : py::Ref();
}

// Sets `route` to the file's route, or to null for the skipped formats.
// Returns 0, or -1 with the exception set.
int route_for(PyObject* filename, const Route*& route)
{
    py::Ref ext = extension_of(filename);
    if (!ext)
        return -1;
    for (const Route& candidate : g_routes) {
        int hit = py::equals(ext.get(), candidate.ext);
        if (hit != 0) {
            route = &candidate;
            return hit < 0 ? -1 : 0;
        }
    }
    for (py::Id skipped : g_skipped) {
        int hit = py::equals(ext.get(), skipped);
        if (hit != 0) {
            route = nullptr;
            return hit < 0 ? -1 : 0;
        }
    }
    route = &g_plain_text;
    return 0;
}

struct ContentRun {
    run::Run& run;
    PyObject* old_keyword;
    PyObject* new_keyword;
    keyword::Keyword keyword;
    std::unique_ptr<ScanAhead> scan;  // null when the keyword needs no text
};

// ---- the scan ahead of the run ---------------------------------------------------

bool is_csv(const Route& route) { return route.decide == decide_csv_content; }

// The route a file name takes, guessed without the interpreter from its
// extension as os.path.splitext finds it, in ASCII letter case: null for a
// file the scan has no business with. A wrong guess costs only a wasted
// scan, since a verdict counts only for the route the run then takes.
const Route* likely_route(PyObject* filename)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(filename);
    Py_ssize_t dot = PyUnicode_FindChar(filename, '.', 0, length, -1);
    Py_ssize_t first = 0;  // leading dots do not begin an extension
    while (first < dot && PyUnicode_READ_CHAR(filename, first) == '.')
        ++first;
    if (dot < 0 || first == dot || length - dot > 8)
        return &g_plain_text;
    std::string ext;
    for (Py_ssize_t i = dot; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(filename, i);
        if (c >= 0x80)
            return &g_plain_text;
        ext.push_back(platform::native::ascii_lower(static_cast<char>(c)));
    }
    for (const Route& route : g_routes) {
        if (ext == route.ext.text)
            return is_csv(route) ? &route : nullptr;
    }
    for (py::Id skipped : g_skipped) {
        if (ext == skipped.text)
            return nullptr;
    }
    return &g_plain_text;
}

// The files of the folder being visited, handed to the scan a few at a
// time ahead of the one in hand. Their paths are joined here as the system
// spells them; the run checks that the file it meets is the file scanned.
class FolderAhead {
public:
    FolderAhead(run::Run& run, ScanAhead* scan, PyObject* names) : run_(run), scan_(scan), names_(names),
        tickets_(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(names)), 0) {}
    ~FolderAhead()
    {
        if (scan_ && last_)
            scan_->forget(last_);
    }
    FolderAhead(const FolderAhead&) = delete;
    FolderAhead& operator=(const FolderAhead&) = delete;

    // 0, or -1 with the exception set.
    int start(PyObject* foldername)
    {
        if (scan_ && native_path(foldername, folder_) < 0) {
            scan_ = nullptr;
            return scan_less();
        }
        return 0;
    }

    // Keeps the scan a few files ahead of `index`, handing them over
    // several at a time. 0, or -1.
    int submit_through(Py_ssize_t index)
    {
        constexpr Py_ssize_t kLead = 32, kRefill = 16;
        if (!scan_ || next_ > index + kLead - kRefill)
            return 0;
        Py_ssize_t until = std::min<Py_ssize_t>(index + kLead, PySequence_Fast_GET_SIZE(names_));
        std::vector<ScanJob> jobs;
        std::vector<Py_ssize_t> indexes;
        for (; next_ < until; ++next_) {
            int prepared = prepare(next_, jobs);
            if (prepared < 0)
                return -1;
            if (prepared > 0)
                indexes.push_back(next_);
        }
        if (jobs.empty())
            return 0;
        std::uint64_t ticket = scan_->add(jobs);
        for (Py_ssize_t scanned : indexes)
            tickets_[static_cast<std::size_t>(scanned)] = last_ = ticket++;
        return 0;
    }

    std::uint64_t ticket(Py_ssize_t index) const { return tickets_[static_cast<std::size_t>(index)]; }

private:
    // The scan's job for file `index`, when it has one: 1 with the job
    // added to `jobs`, 0 when the file is not for the scan, -1.
    int prepare(Py_ssize_t index, std::vector<ScanJob>& jobs)
    {
        PyObject* name = PySequence_Fast_GET_ITEM(names_, index);
        const Route* route = PyUnicode_Check(name) && !run::is_own_temporary(name) ? likely_route(name) : nullptr;
        if (!route)
            return 0;
        // A file the masks leave out is not scanned; an error met here is
        // met again, and reported, when the run reaches the file.
        int admitted = run_.admit_file(name);
        if (admitted <= 0)
            return admitted < 0 ? scan_less() : 0;
        NativePath native_name;
        if (native_path(name, native_name) < 0)
            return scan_less();
        ScanJob& job = jobs.emplace_back(ScanJob{folder_, is_csv(*route)});
        if (!folder_.empty() && !is_separator(folder_.back()))
            job.path.push_back(kSeparator);
        job.path += native_name;
        return 1;
    }

#ifdef _WIN32
    static constexpr wchar_t kSeparator = L'\\';
    static bool is_separator(wchar_t c) { return c == L'\\' || c == L'/' || c == L':'; }
#else
    static constexpr char kSeparator = '/';
    static bool is_separator(char c) { return c == '/'; }
#endif

    run::Run& run_;
    ScanAhead* scan_;
    PyObject* names_;  // a list or tuple (borrowed)
    NativePath folder_;
    std::vector<std::uint64_t> tickets_;  // per file, 0 when not scanned
    Py_ssize_t next_ = 0;
    std::uint64_t last_ = 0;
};

// What the scan found, when it still holds for the file the run meets.
struct Look {
    bool known = false;
    bool binary = false;
    bool no_match = false;
};

int look_ahead(ContentRun& job, const Route& route, PyObject* stat, std::uint64_t ticket, Look& out)
{
    out = Look{};
    if (!job.scan || !ticket)
        return 0;
    ScanVerdict verdict = job.scan->take(ticket);
    if (!verdict.known || verdict.csv != is_csv(route))
        return 0;
    // The file the run probed (after finishing a batch that held it) is
    // the file the scan read.
    FileIdentity probed;
    if (identity_of(stat, probed) < 0)
        return -1;
    if (!(probed == verdict.identity))
        return 0;
    out = Look{true, verdict.binary, verdict.no_match};
    return 0;
}

// 1 when the module global a run calls for `route` is still the module's
// own handler, whose finding nothing the scan can foresee; 0 for anything a
// host bound in its place, which is called as it always was.
int is_own_handler(const Route& route)
{
    py::Ref handler = py::global(route.handler);
    if (!handler)
        return -1;
    if (std::strcmp(Py_TYPE(handler.get())->tp_name, "termweave_mira7.function") != 0)
        return 0;
    py::Ref name = py::getattr(handler.get(), "__name__"_id);
    return name ? py::equals(name.get(), route.handler) : -1;
}

// The plain-text handler's binary rule, read here when the scan did not:
// a NUL byte in the first 8 KiB, unless the file has a UTF-16 mark.
int is_binary(PyObject* filepath)
{
    int binary = run::looks_binary(filepath);
    if (binary <= 0)
        return binary;
    std::string head;
    if (read_file_bytes(filepath, head, 4) < 0)
        return -1;
    text_bytes::Mark mark = text_bytes::mark_of(head);
    return mark == text_bytes::Mark::utf16_le || mark == text_bytes::Mark::utf16_be ? 0 : 1;
}

// In a plan, what was decided about a file is kept for the run that
// follows the preview (see run::Options::kept). 0, or -1.
int keep_decision(ContentRun& job, const Route& route, PyObject* filepath, PyObject* stat, Verdict verdict,
                  std::function<int()> write = {})
{
    run::KeptDecisions* kept = job.run.options().kept;
    if (!kept || !job.run.planning() || route.keep == Keep::nothing)
        return 0;
    if (route.keep != Keep::write)
        write = nullptr;
    return kept->keep(filepath, stat, verdict, std::move(write));
}

// A plan asks the handler's decide function, which also keeps the first
// few matches it meets for the preview.
int plan_file(ContentRun& job, const Route& route, PyObject* filepath, PyObject* stat_result)
{
    keyword::MatchSamples samples;
    keyword::Keyword keyword = job.keyword;
    keyword.samples = &samples;
    Decision decision;
    if (route.decide(filepath, keyword, decision) < 0)
        return -1;
    if (!decision.write)
        return keep_decision(job, route, filepath, stat_result, Verdict::unchanged);
    if (run::check_may_write(filepath) < 0 ||
        job.run.change(ItemKind::file_content, filepath, nullptr, decision.matches) < 0)
        return -1;
    if (run::PlannedItem* item = job.run.last_planned()) {
        item->samples = std::move(samples.list);
        item->formula_samples = std::move(samples.formulas);
        if (job.run.note_backup_cost(*item, stat_result) < 0)
            return -1;
        item->encoding = decision.encoding;
    }
    return keep_decision(job, route, filepath, stat_result, Verdict::change, std::move(decision.write));
}

// After a handler, or a kept write, was called for the file that `before`
// described: a replacement it staged is reported when the batch is
// finished; otherwise whether it wrote the file shows in the file's stat.
int settle_write(ContentRun& job, PyObject* filepath, PyObject* before, std::size_t since)
{
    int staged = job.run.staged_for(since, filepath);
    if (staged != 0)
        return staged < 0 ? -1 : job.run.flush_if_full();
    py::Ref old_signature = run::write_signature(before);
    if (!old_signature)
        return -1;
    py::Ref after = run::stat_path(filepath, true);
    py::Ref new_signature = after ? run::write_signature(after.get()) : py::Ref();
    int same = 0;
    if (new_signature)
        same = py::equals(old_signature.get(), new_signature.get());
    else if (PyErr_ExceptionMatches(PyExc_OSError))
        PyErr_Clear();  // gone or replaced by something else: it did change
    else
        return -1;
    if (same != 0)
        return same < 0 ? -1 : 0;
    return job.run.change(ItemKind::file_content, filepath, nullptr, 0);
}

// A run calls the handler bound in the module now, with the keywords as
// given.
int hand_over(ContentRun& job, const Route& route, PyObject* filepath, PyObject* before)
{
    job.run.stage_writes(route.staged);
    std::size_t since = job.run.staged();
    py::Ref handler = py::global(route.handler);
    if (!handler || !py::call(handler.get(), filepath, job.old_keyword, job.new_keyword))
        return -1;
    return settle_write(job, filepath, before, since);
}

// The run after a preview takes the plan's decision on a file that is
// still as it was decided, instead of reading and matching it again; the
// module's own handler would decide the same. 1 when the file is done
// with, 0 when it is decided afresh, -1.
int take_kept(ContentRun& job, const Route& route, PyObject* filepath, PyObject* stat)
{
    run::KeptDecisions* kept = job.run.options().kept;
    if (!kept || route.keep == Keep::nothing)
        return 0;
    const run::KeptDecision* decision = kept->find(filepath, stat);
    if (!decision)
        return PyErr_Occurred() ? -1 : 0;
    if (decision->verdict == Verdict::binary) {
        if (!route.plain_text)
            return 0;
        return job.run.pass_over(ItemKind::file_content, filepath, PassOver::binary) < 0 ? -1 : 1;
    }
    if (decision->verdict == Verdict::change && !decision->write)
        return 0;
    int own = is_own_handler(route);
    if (own <= 0 || decision->verdict == Verdict::unchanged)
        return own;
    job.run.stage_writes(route.staged);
    std::size_t since = job.run.staged();
    if (decision->write() < 0 || settle_write(job, filepath, stat, since) < 0)
        return -1;
    return 1;
}

// What the file is now. A file the run's batch is still to replace (this
// one reached again through another name) is replaced first and looked at
// again, so that it is read with its new content.
int probe(ContentRun& job, PyObject* filepath, run::FileState& state)
{
    if (run::probe_file(filepath, state) < 0)
        return -1;
    int finished = state.regular ? job.run.before_reading(state.stat.get()) : 0;
    return finished > 0 ? run::probe_file(filepath, state) : finished;
}

int handle_file(ContentRun& job, PyObject* filepath, PyObject* filename, std::uint64_t ticket)
{
    if (run::is_own_temporary(filename))
        return job.run.pass_over(ItemKind::file_content, filepath, PassOver::own_temporary);
    run::FileState state;
    if (probe(job, filepath, state) < 0)
        return -1;
    if (!state.regular)
        return job.run.pass_over(ItemKind::file_content, filepath, PassOver::not_regular);
    // From here on every read and replacement of the file opens the file
    // just probed, or fails.
    platform::ExpectFile expected;
    if (expected.install(filepath, state.stat.get()) < 0)
        return -1;
    const Route* route = nullptr;
    if (route_for(filename, route) < 0)
        return -1;
    if (!route)
        return job.run.pass_over(ItemKind::file_content, filepath, PassOver::old_format);
    if (state.link && job.run.check_inside(filepath) < 0)
        return -1;
    PyObject* stat = state.stat.get();
    int taken = job.run.planning() ? 0 : take_kept(job, *route, filepath, stat);
    if (taken != 0)
        return taken < 0 ? -1 : 0;
    Look look;
    if (look_ahead(job, *route, stat, ticket, look) < 0)
        return -1;
    if (route->plain_text) {
        int binary = look.known ? look.binary : is_binary(filepath);
        if (binary != 0) {
            if (binary < 0 || keep_decision(job, *route, filepath, stat, Verdict::binary) < 0)
                return -1;
            return job.run.pass_over(ItemKind::file_content, filepath, PassOver::binary);
        }
    }
    if (look.no_match) {
        // As the handler would find nothing, it is not asked.
        if (job.run.planning())
            return keep_decision(job, *route, filepath, stat, Verdict::unchanged);
        int own = is_own_handler(*route);
        if (own != 0)
            return own < 0 ? -1 : 0;
    }
    if (job.run.planning())
        return plan_file(job, *route, filepath, stat);
    return hand_over(job, *route, filepath, stat);
}

int visit_file(ContentRun& job, PyObject* foldername, PyObject* filename, std::uint64_t ticket)
{
    int admitted = job.run.admit_file(filename);
    if (admitted <= 0)
        return admitted;
    py::Ref filepath = run::join_path(foldername, filename);
    if (!filepath)
        return -1;
    int cancelled = job.run.begin_item(filepath.get());
    if (cancelled)
        return cancelled;
    int screened = job.run.screen_item(ItemKind::file_content, filepath.get(), filepath.get(), filename);
    if (screened != 0)
        return screened < 0 ? -1 : 0;
    if (handle_file(job, filepath.get(), filename, ticket) < 0)
        return job.run.fail(ItemKind::file_content, filepath.get(), run::Doing::replacing_content);
    return 0;
}

int visit_folder(ContentRun& job, PyObject* foldername, PyObject* filenames)
{
    py::Ref names = py::Ref::steal(PySequence_Fast(filenames, "the walk's file names are not a sequence"));
    if (!names)
        return -1;
    FolderAhead ahead(job.run, job.scan.get(), names.get());
    if (ahead.start(foldername) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(names.get()); ++i) {
        if (ahead.submit_through(i) < 0)
            return -1;
        int status = visit_file(job, foldername, PySequence_Fast_GET_ITEM(names.get(), i), ahead.ticket(i));
        if (status != 0)
            return status < 0 ? -1 : 0;  // a cancel: the walk stops after this folder
    }
    return 0;
}

// The scan, when the keyword needs a text to match. 0, or -1.
int start_scan(ContentRun& job)
{
    ScanRules rules;
    int usable = make_scan_rules(job.keyword.pattern, rules);
    if (usable <= 0)
        return usable;
    job.scan = std::make_unique<ScanAhead>(std::move(rules));
    if (!job.scan->start())
        job.scan.reset();
    return 0;
}

int replace_contents(run::Run& run, const run::Operands& in)
{
    keyword::Compiled compiled;
    if (keyword::compile_checked(in.old_keyword, in.new_keyword, compiled) < 0 ||
        run.check_root(in.root_folder) < 0)
        return -1;
    ContentRun job{run, in.old_keyword, in.new_keyword, compiled.keyword()};
    if (start_scan(job) < 0)
        return -1;
    return run.walk(in.root_folder, in.recursive, [&](PyObject* foldername, PyObject* filenames) {
        return visit_folder(job, foldername, filenames);
    });
}

const run::Operation k_file_contents{"replace_file_contents", run::kFileContents, replace_contents, true};

}  // namespace

py::Ref replace_file_contents(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                              PyObject* recursive)
{
    return run::act(k_file_contents, {root_folder, old_keyword, new_keyword, recursive});
}

int plan_file_contents(PyObject* root_folder, PyObject* old_keyword, PyObject* new_keyword,
                       PyObject* recursive, run::Plan& plan)
{
    return run::plan(k_file_contents, {root_folder, old_keyword, new_keyword, recursive}, plan);
}

}  // namespace tw::content
