// A look at the bytes of text and CSV files ahead of a content run, on a
// thread of its own and without the interpreter: a file that cannot hold a
// text every match of the keyword needs, in the encoding the text codec
// rules would read it in, is passed over without ever becoming a Python
// string. Only what is proven counts: a file not proven decodable, or too
// big for the csv module to read as it stands, goes to its handler, which
// finds out and reports as it always has.
#pragma once

#include "content/text_bytes.h"
#include "content/text_file.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tw::content {

// The texts every match needs, encoded each way a file may hold them.
struct ScanTexts {
    std::vector<std::string> utf8, utf16_le, utf16_be, gb18030;
    bool usable = false;
};

struct ScanRules {
    ScanTexts text;  // for the plain-text handler
    ScanTexts csv;   // for the CSV handler: without quote characters
    // A CSV file bigger than this could hold a cell the csv module refuses.
    std::uint64_t csv_size_limit = 0;
    const text_bytes::GbCodes* gb = nullptr;  // null: GB18030 files are not proven
};

// The rules for a compiled keyword pattern: 1 with `out` filled, 0 when
// the keyword needs no text that could be looked for (or matches
// regardless of case), -1 with the exception set.
int make_scan_rules(PyObject* pattern, ScanRules& out);

// An error met while preparing a scan only means less is scanned: 0 with
// it dropped, or -1 with one that would end the run kept pending.
int scan_less();

struct ScanJob {
    NativePath path;
    bool csv = false;  // for the CSV handler, else the plain-text one
};

struct ScanVerdict {
    bool known = false;     // the file was read; `identity` says which file
    bool csv = false;       // as ScanJob
    bool binary = false;    // a NUL byte in its first 8 KiB and no UTF-16 mark
    bool no_match = false;  // proven decodable, and a needed text is missing
    FileIdentity identity;
};

// Looks at one file, a piece at a time through `buffer`. Never touches the
// interpreter.
ScanVerdict scan_file(const ScanJob& job, const ScanRules& rules, const std::atomic<bool>& stop,
                      std::string& buffer);

// The files a run is about to meet, scanned in order on a second thread
// while the run handles the files before them; at most a few dozen ahead,
// each read a piece at a time, so memory stays small.
class ScanAhead {
public:
    explicit ScanAhead(ScanRules rules) : rules_(std::move(rules)) {}
    ~ScanAhead();  // stops the thread (without waiting for a whole file)
    ScanAhead(const ScanAhead&) = delete;
    ScanAhead& operator=(const ScanAhead&) = delete;

    // Starts the thread; false when the system would not.
    bool start();
    // Queues files; returns the ticket of the first (never 0), the others
    // following it.
    std::uint64_t add(std::vector<ScanJob>& jobs);
    // The verdict for `ticket`, dropping those before it. Waits, with the
    // interpreter's lock given back, or scans the file on this thread when
    // the scan has not reached it. Call with the lock held.
    ScanVerdict take(std::uint64_t ticket);
    // Drops every ticket up to `ticket`.
    void forget(std::uint64_t ticket);

private:
    enum class SlotState { waiting, scanning, done };
    struct Slot {
        ScanJob job;
        SlotState state = SlotState::waiting;
        ScanVerdict verdict;
    };
    static constexpr std::uint64_t kAhead = 64;
    // An idle thread is woken for a few files at once: waking it for each
    // costs more than scanning a small file.
    static constexpr std::uint64_t kWakeBatch = 8;

    void work();
    bool next_ready() const;
    std::uint64_t unscanned() const;
    ScanVerdict wait_for_front();
    bool help_ahead(std::unique_lock<std::mutex>& lock);
    ScanVerdict taken(std::unique_lock<std::mutex>& lock, std::uint64_t ticket, const ScanVerdict& verdict);
    void drop_before(std::uint64_t ticket);

    ScanRules rules_;
    std::mutex mutex_;
    std::condition_variable work_ready_;     // the thread waits for a file
    std::condition_variable verdict_ready_;  // the run waits for a verdict
    bool worker_idle_ = false;
    std::uint64_t waited_for_ = 0;           // the ticket the run waits for
    std::deque<Slot> slots_;  // tickets first_, first_ + 1, ...
    std::uint64_t first_ = 1;
    std::uint64_t next_ = 1;  // the next ticket the thread scans
    bool stop_ = false;
    std::atomic<bool> stopping_{false};
    std::string run_buffer_;  // for the files the run scans itself
    std::thread thread_;
};

}  // namespace tw::content
