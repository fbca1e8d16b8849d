// Hands every file under a folder to the content handler for its extension.
//
// Before a handler sees a file, the run passes over what is not for it: the
// project's own temporary files, anything that is not a regular file,
// the old binary formats, and, for the plain-text handler, binary files. A
// file reached through a link that leads outside the chosen folder is an
// error. A handler's error is recorded against its file and the walk goes on.
#include "content/content.h"

#include "py/names.h"
#include "run/operation.h"
#include "run/probe.h"

namespace tw::content {

namespace {

using run::ItemKind;
using run::PassOver;

struct Route {
    py::Id ext;
    py::Id handler;  // the module global a run calls
    Decide decide;   // what a plan asks
    bool plain_text;
    // The workbook handler prints that it saved and reports its own
    // failures, so its write is finished before it returns; the others'
    // writes may wait for the run's batch.
    bool staged = true;
};

// A plan asks the workbook handler without its console lines.
int decide_workbook(PyObject* file_path, const keyword::Keyword& keyword, Decision& out)
{
    return decide_xlsx_content(file_path, keyword, false, out);
}

// Checked in order; the first matching extension decides.
const Route g_routes[] = {
    {".pptx"_id, "replace_pptx_content"_id, decide_pptx_content, false},
    {".docx"_id, "replace_docx_content"_id, decide_docx_content, false},
    {".xlsx"_id, "replace_xlsx_content"_id, decide_workbook, false, false},
    {".csv"_id, "replace_csv_content"_id, decide_csv_content, false},
};

// ".txt", and every extension not otherwise handled.
const Route g_plain_text = {".txt"_id, "replace_text_content"_id, decide_text_content, true};

// Old binary formats the handlers cannot read: left untouched.
const py::Id g_skipped[] = {".ppt"_id, ".doc"_id, ".xls"_id};

// os.path.splitext(filename)[1].lower()
py::Ref extension_of(PyObject* filename)
{
    py::Ref path = run::os_path();
    py::Ref parts = path ? py::call_method(path.get(), "splitext"_id, filename) : py::Ref();
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
};

// A plan asks the handler's decide function, which also keeps the first
// few matches it meets for the preview.
int plan_file(ContentRun& job, const Route& route, PyObject* filepath)
{
    keyword::MatchSamples samples;
    keyword::Keyword keyword = job.keyword;
    keyword.samples = &samples;
    Decision decision;
    if (route.decide(filepath, keyword, decision) < 0)
        return -1;
    if (!decision.write)
        return 0;
    if (run::check_may_write(filepath) < 0 ||
        job.run.change(ItemKind::file_content, filepath, nullptr, decision.matches) < 0)
        return -1;
    if (run::PlannedItem* item = job.run.last_planned())
        item->samples = std::move(samples.list);
    return 0;
}

// A run calls the handler bound in the module now, with the keywords as
// given. A replacement it staged is reported when the batch is finished;
// otherwise whether it wrote the file shows in the file's stat.
int hand_over(ContentRun& job, const Route& route, PyObject* filepath, PyObject* before)
{
    if (job.run.before_reading(before) < 0)
        return -1;
    job.run.stage_writes(route.staged);
    std::size_t since = job.run.staged();
    py::Ref handler = py::global(route.handler);
    if (!handler || !py::call(handler.get(), filepath, job.old_keyword, job.new_keyword))
        return -1;
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

int handle_file(ContentRun& job, PyObject* filepath, PyObject* filename)
{
    if (run::is_own_temporary(filename))
        return job.run.pass_over(ItemKind::file_content, filepath, PassOver::own_temporary);
    run::FileState state;
    if (run::probe_file(filepath, state) < 0)
        return -1;
    if (!state.regular)
        return job.run.pass_over(ItemKind::file_content, filepath, PassOver::not_regular);
    const Route* route = nullptr;
    if (route_for(filename, route) < 0)
        return -1;
    if (!route)
        return job.run.pass_over(ItemKind::file_content, filepath, PassOver::old_format);
    if (state.link && job.run.check_inside(filepath) < 0)
        return -1;
    if (route->plain_text) {
        int binary = run::looks_binary(filepath);
        if (binary != 0)
            return binary < 0 ? -1 : job.run.pass_over(ItemKind::file_content, filepath, PassOver::binary);
    }
    if (job.run.planning())
        return plan_file(job, *route, filepath);
    return hand_over(job, *route, filepath, state.stat.get());
}

int visit_file(ContentRun& job, PyObject* foldername, PyObject* filename)
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
    if (handle_file(job, filepath.get(), filename) < 0)
        return job.run.fail(ItemKind::file_content, filepath.get(), run::Doing::replacing_content);
    return 0;
}

int replace_contents(run::Run& run, const run::Operands& in)
{
    keyword::Compiled compiled;
    if (keyword::compile_checked(in.old_keyword, in.new_keyword, compiled) < 0 ||
        run.check_root(in.root_folder) < 0)
        return -1;
    ContentRun job{run, in.old_keyword, in.new_keyword, compiled.keyword()};
    return run.walk(in.root_folder, in.recursive, [&](PyObject* foldername, PyObject* filenames) {
        return py::for_each(filenames, [&](PyObject* filename) {
            return visit_file(job, foldername, filename);
        });
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
