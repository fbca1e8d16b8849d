// Tests of the file-system core without the interpreter, one case per run
// (some cases install system-call filters that last for the process):
//   tw_platform_test <case> [scratch folder]
// Exit status: 0 passed, 1 failed, 2 usage, 77 cannot run here.
#include "platform/core/native.h"
#include "platform/core/store.h"
#include "platform/core/undo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>
#include <string>
#include <vector>
#include <string_view>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef __linux__
#include <cstddef>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

namespace native = tw::platform::native;

namespace {

int failures = 0;

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (!(condition)) {                                                           \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++failures;                                                               \
        }                                                                             \
    } while (0)

constexpr int cannot_run = 77;

void names()
{
    for (const char* plain : {"a", "report.txt", "C:x", "a:b", "con", "x.", ".hidden", "...", "é.txt"})
        CHECK(native::is_plain_name_posix(plain));
    for (const char* unsafe : {"", ".", "..", "a/b", "/", "../x"})
        CHECK(!native::is_plain_name_posix(unsafe));

    for (const wchar_t* plain : {L"a", L"report.txt", L".hidden", L"...a", L"CONSOLE", L"COM10", L"LPT0",
                                 L"COMA", L"nul1.txt", L"x.CON", L"a b", L"\x4e2d\x6587.docx", L"COM\x2074"})
        CHECK(native::is_plain_name_windows(plain));
    for (const wchar_t* unsafe :
         {L"", L".", L"..", L"a/b", L"a\\b", L"C:x", L"C:", L"file:stream", L"a<b", L"a>b", L"a\"b",
          L"a|b", L"a?b", L"a*b", L"tab\there", L"bell\a", L"x.", L"x ", L"x. ", L"CON", L"con", L"Nul.txt",
          L"PRN.tar.gz", L"aux", L"COM1", L"com9.log", L"LPT5", L"lpt1.txt", L"NUL .txt", L"CONIN$",
          L"conout$.txt", L"COM\x00b9", L"lpt\x00b2.txt", L"COM\x00b3"})
        CHECK(!native::is_plain_name_windows(unsafe));
}

using native::String;

// The scratch folder as given on the command line, in the system's characters.
String native_path(const std::string& ascii)
{
    return String(ascii.begin(), ascii.end());
}

std::FILE* open_file(const String& path, const native::Char* mode)
{
#ifdef _WIN32
    return _wfopen(path.c_str(), mode);
#else
    return std::fopen(path.c_str(), mode);
#endif
}

std::string read_file(const String& path)
{
    std::string bytes;
    if (std::FILE* file = open_file(path, TW_NATIVE("rb"))) {
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
            bytes.append(chunk, got);
        std::fclose(file);
    }
    return bytes;
}

void write_file(const String& path, const std::string& bytes)
{
    std::FILE* file = open_file(path, TW_NATIVE("wb"));
    if (!file) {
        std::perror("write_file");
        std::exit(1);
    }
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

bool exists(const String& path)
{
    std::error_code error;
    return std::filesystem::exists(std::filesystem::symlink_status(path, error));
}

void make_folder(const String& path)
{
    std::error_code error;
    std::filesystem::create_directory(path, error);
}

// Where the program keeps its run records: a folder of the test's own.
void keep_state_in(const String& folder)
{
    make_folder(folder);
#ifdef _WIN32
    SetEnvironmentVariableW(L"LOCALAPPDATA", folder.c_str());
#else
    setenv("XDG_STATE_HOME", folder.c_str(), 1);
#endif
}

native::Writer writing(const std::string& bytes)
{
    return [bytes](const String& temp) {
        write_file(temp, bytes);
        return true;
    };
}

// Replaces three files in one folder, deferring the folder sync or not, for
// a caller counting the folder syncs from outside.
int three_replacements(const String& scratch, bool deferred)
{
    native::FolderSyncs syncs;
    for (const native::Char* name : {TW_NATIVE("/a"), TW_NATIVE("/b"), TW_NATIVE("/c")}) {
        write_file(scratch + name, "old");
        CHECK(native::replace_file(scratch + name, writing("new"), deferred ? &syncs : nullptr).error == 0);
        CHECK(read_file(scratch + name) == "new");
    }
    CHECK(syncs.sync_all() == 0);
    return 0;
}

// A run's record read back: fields of any bytes come back as written, and a
// line torn or damaged by a crash is passed over, not misread.
int record_journal(const String& scratch)
{
    for (const native::Char* text : {TW_NATIVE("plain"), TW_NATIVE("with space"), TW_NATIVE("100%"), TW_NATIVE("-"),
                                     TW_NATIVE("new\nline"), TW_NATIVE("tab\there"), TW_NATIVE("\x7f\x01")}) {
        String back;
        CHECK(native::decode_field(native::encode_field(text), back) && back == text);
        CHECK(native::encode_field(text).find_first_of(" \n\t") == std::string::npos);
    }
    String empty = TW_NATIVE("x");
    CHECK(native::decode_field(native::encode_field(String()), empty) && empty.empty());

#ifdef _WIN32
    const String odd = scratch + L"/a b%\x00e9.txt";  // no line feed in a Windows name
#else
    const String odd = scratch + "/a b%\n.txt";
#endif
    keep_state_in(scratch + TW_NATIVE("/state"));
    write_file(odd, "old");
    CHECK(exists(odd));
    native::RunStart started;
    CHECK(native::start_run(scratch, "replace_file_names", true, started) == 0 && started.record);
    if (!started.record)
        return 1;
    native::Record& record = *started.record;
    std::uint64_t number = 0;
    native::FileInfo info;
    CHECK(native::file_info(odd, false, info) == 0);
    CHECK(record.before_rename(odd, scratch + TW_NATIVE("/renamed"), info.id, number) == 0);
    record.after_rename(number, true);
    CHECK(record.sync() == 0);
    std::FILE* file = open_file(record.folder() + TW_NATIVE("/record"), TW_NATIVE("ab"));
    CHECK(file != nullptr);
    if (!file)
        return 1;
    std::fputs("renamed 99 ~00000000\n", file);  // damaged: its checksum is wrong
    std::fputs("kept 1", file);                  // torn: no end of line
    std::fclose(file);

    native::RecordState read;
    CHECK(native::Record::read(record.folder(), read) == 0);
    CHECK(read.operation == "replace_file_names" && read.root == scratch && read.undoable && !read.ended);
    CHECK(read.items.size() == 1);
    if (read.items.size() != 1)
        return 1;
    const native::RecordItem& item = read.items[0];
    CHECK(item.type == native::ItemType::rename && item.state == native::ItemState::done);
    CHECK(item.path == odd && item.new_path == scratch + TW_NATIVE("/renamed") && item.old_id == info.id);
    return 0;
}

// What an undo writes while it puts things back (a file rewritten in place
// again) is never itself offered for undo, also when the record is read
// back after an undo cut short.
int undo_offers_only_the_runs_own(const String& scratch)
{
    const String file = scratch + TW_NATIVE("/a.txt");
    keep_state_in(scratch + TW_NATIVE("/state"));
    write_file(file, "new");
    native::RunStart started;
    CHECK(native::start_run(scratch, "replace_file_contents", true, started) == 0 && started.record);
    if (!started.record)
        return 1;
    native::Record& record = *started.record;
    std::uint64_t run_item = 0, undo_item = 0;
    native::Identity old_content{{}, 3, 0, 1}, fresh{{}, 3, 0, 2};
    CHECK(record.before_rewrite(file, scratch + TW_NATIVE("/backup"), old_content, fresh, run_item) == 0);
    record.after_rewrite(run_item, &fresh);
    CHECK(record.end() == 0 && record.begin_undo() == 0 && record.undoing(run_item) == 0);
    CHECK(record.before_rewrite(file, scratch + TW_NATIVE("/again"), fresh, old_content, undo_item) == 0);
    record.after_rewrite(undo_item, &old_content);
    CHECK(record.sync() == 0);
    for (bool reread : {false, true}) {
        native::RecordState read;
        if (reread)
            CHECK(native::Record::read(record.folder(), read) == 0);
        std::vector<native::UndoStep> steps;
        native::plan_undo(reread ? read : record.state(), steps);
        CHECK(steps.size() == 1 && steps[0].number == run_item);
    }
    return 0;
}

#ifndef _WIN32

#ifdef __linux__
// Makes one system call fail with `error` for the rest of the process, as
// an old kernel or a container's filter does.
bool refuse_system_call(long number, int error)
{
#if defined(__x86_64__)
    const unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    const unsigned arch = AUDIT_ARCH_AARCH64;
#else
    return false;
#endif
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(number), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// The kernel's no-replace rename is refused (ENOSYS, which glibc's wrapper
// reports as EINVAL), so the check-then-rename way must do the work, with
// the same results.
int rename_without_kernel_support(const std::string& scratch)
{
    if (!refuse_system_call(SYS_renameat2, ENOSYS))
        return cannot_run;
    const std::string a = scratch + "/a", b = scratch + "/b", c = scratch + "/c", d = scratch + "/d";
    write_file(a, "A");
    write_file(b, "B");
    CHECK(syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, c.c_str(), 0) < 0 && errno == ENOSYS);

    CHECK(native::rename_no_replace(a, b) == EEXIST);
    CHECK(read_file(a) == "A" && read_file(b) == "B");
    CHECK(native::rename_no_replace(a, c) == 0);
    CHECK(!exists(a) && read_file(c) == "A");
    CHECK(link(c.c_str(), d.c_str()) == 0);
    CHECK(native::rename_no_replace(c, d) == EEXIST);
    CHECK(exists(c) && exists(d));
    return 0;
}
#endif

// Two names of one file that differ in letter case are two entries on a
// file system that tells case apart: renaming one to the other is refused,
// where rename(2) would do nothing and report success.
int respelled_hard_link(const std::string& scratch)
{
    const std::string lower = scratch + "/note.txt", upper = scratch + "/NOTE.txt";
    write_file(lower, "text");
    CHECK(link(lower.c_str(), upper.c_str()) == 0);
    CHECK(native::rename_respelled(lower, upper) == EEXIST);
    CHECK(exists(lower) && exists(upper));
    CHECK(native::rename_respelled(lower, scratch + "/Note.txt") == 0);  // gone: a plain rename
    CHECK(!exists(lower) && read_file(scratch + "/Note.txt") == "text");
    return 0;
}

int folder_syncs(const std::string& scratch)
{
    const std::string one = scratch + "/one", two = scratch + "/two";
    CHECK(mkdir(one.c_str(), 0755) == 0 && mkdir(two.c_str(), 0755) == 0);
    for (const std::string& path : {one + "/a", one + "/b", two + "/c"})
        write_file(path, "old");
    {
        native::FolderSyncs syncs;
        for (const std::string& path : {one + "/a", one + "/b", two + "/c"}) {
            native::ReplaceOutcome out = native::replace_file(path, writing("new " + path), &syncs);
            CHECK(out.error == 0 && !out.in_place);
            CHECK(read_file(path) == "new " + path);  // in place before any folder sync
        }
        CHECK(syncs.pending() == 2);
        CHECK(syncs.sync_all() == 0 && syncs.pending() == 0);

        const std::string gone = scratch + "/gone";
        CHECK(mkdir(gone.c_str(), 0755) == 0);
        write_file(gone + "/d", "old");
        CHECK(native::replace_file(gone + "/d", writing("new"), &syncs).error == 0);
        syncs.add(one);
        CHECK(unlink((gone + "/d").c_str()) == 0 && rmdir(gone.c_str()) == 0);
        std::string failed;
        CHECK(syncs.sync_all(&failed) == ENOENT && failed == gone && syncs.pending() == 0);
    }
    return 0;
}

#ifdef __linux__
// The rewrite fails (every cut to length is refused once the new content is
// written; the new content is the shorter, so the rewrite must cut): the old
// bytes come back from the backup the run's record kept, synced before the
// first write, and the backup goes.
native::Writer writing_then_failing_cuts(const std::string& bytes, bool& filtered)
{
    return [bytes, &filtered](const std::string& temp) {
        write_file(temp, bytes);
        filtered = refuse_system_call(SYS_ftruncate, EIO);
        return filtered;
    };
}

// A run's record in a state folder of the test's own, for the backups of
// rewrites in place.
std::unique_ptr<native::Record> test_record(const std::string& scratch)
{
    const std::string state = scratch + "/state";
    mkdir(state.c_str(), 0777);
    setenv("XDG_STATE_HOME", state.c_str(), 1);
    native::RunStart started;
    CHECK(native::start_run(scratch, "test", false, started) == 0 && started.record);
    return std::move(started.record);
}

native::ReplaceContext recorded_in(native::Record* record)
{
    native::ReplaceContext context;
    context.record = [record] { return record; };
    return context;
}

void check_put_back(const native::ReplaceOutcome& out, const native::Record& record, const std::string& path,
                    const std::string& old)
{
    CHECK(out.error == EIO && out.in_place && out.old_content_at.empty());
    CHECK(read_file(path) == old);
    const native::RecordItem& item = record.state().items.back();
    CHECK(item.type == native::ItemType::rewrite && item.state == native::ItemState::dropped);
    CHECK(!exists(item.backup));
}

int failed_rewrite_beside(const std::string& scratch)
{
    const std::string path = scratch + "/a.txt", old(10000, 'o');
    write_file(path, old);
    CHECK(link(path.c_str(), (scratch + "/b.txt").c_str()) == 0);  // so rewritten in place
    auto record = test_record(scratch);
    bool filtered = false;
    native::ReplaceOutcome out = native::replace_file(path, writing_then_failing_cuts("new", filtered), nullptr,
                                                      nullptr, recorded_in(record.get()));
    if (!filtered)
        return cannot_run;
    check_put_back(out, *record, path, old);
    return 0;
}

// In a folder closed to new files, the new content is staged in the run's
// record too, and nothing goes to the system's temporary folder.
int failed_rewrite_in_closed_folder(const std::string& scratch)
{
    if (geteuid() != 0)
        return cannot_run;
    const std::string locked = scratch + "/locked", system_temp = scratch + "/tmp";
    const std::string path = locked + "/mine.txt", old(10000, 'o');
    CHECK(mkdir(locked.c_str(), 0755) == 0 && mkdir(system_temp.c_str(), 0777) == 0);
    write_file(path, old);
    CHECK(chown(path.c_str(), 4241, 4242) == 0);
    CHECK(chmod(scratch.c_str(), 0777) == 0 && chmod(system_temp.c_str(), 0777) == 0);
    setenv("TMPDIR", system_temp.c_str(), 1);
    if (setgid(4242) != 0 || setuid(4241) != 0)
        return cannot_run;
    auto record = test_record(scratch);
    bool filtered = false;
    native::ReplaceOutcome out = native::replace_file(path, writing_then_failing_cuts("new", filtered), nullptr,
                                                      nullptr, recorded_in(record.get()));
    if (!filtered)
        return cannot_run;
    check_put_back(out, *record, path, old);
    std::vector<std::string> left;
    CHECK(native::os::list_folder(system_temp, left) == 0 && left.empty());
    return 0;
}
#endif

#endif  // !_WIN32

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string_view which = argv[1];
    const std::string scratch = argc > 2 ? argv[2] : ".";
    int status = 0;
    const String where = native_path(scratch);
    if (which == "names")
        names();
    else if (which == "record-journal")
        status = record_journal(where);
    else if (which == "undo-offers-only-the-runs-own")
        status = undo_offers_only_the_runs_own(where);
    else if (which == "three-replacements-deferred" || which == "three-replacements-immediate")
        status = three_replacements(where, which == "three-replacements-deferred");
#ifndef _WIN32
    else if (which == "respelled-hard-link")
        status = respelled_hard_link(scratch);
    else if (which == "folder-syncs")
        status = folder_syncs(scratch);
#ifdef __linux__
    else if (which == "rename-without-kernel-support")
        status = rename_without_kernel_support(scratch);
    else if (which == "failed-rewrite-beside")
        status = failed_rewrite_beside(scratch);
    else if (which == "failed-rewrite-in-closed-folder")
        status = failed_rewrite_in_closed_folder(scratch);
#endif
#endif
    else {
        std::fprintf(stderr, "unknown case %s\n", argv[1]);
        return 2;
    }
    if (status)
        return status;
    return failures ? 1 : 0;
}
