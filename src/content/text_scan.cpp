#include "content/text_scan.h"

#include "content/text_codec.h"
#include "keyword/keyword.h"
#include "py/names.h"
#include "py/error.h"
#include "run/options.h"
#include "run/run.h"

#include <algorithm>

namespace tw::content {

// ---- one file ------------------------------------------------------------------

namespace {

using text_bytes::Mark;
using text_bytes::QuoteStrip;

constexpr std::size_t kPiece = 256 * 1024;

// What one reading of a file in one encoding showed.
enum class Outcome { unreadable, invalid, no_match, may_match };

// Fills the buffer from the file as far as it goes; `count` is 0 at the end.
int fill(FileReader& file, std::string& buffer, std::size_t& count)
{
    count = 0;
    std::size_t got = 0;
    int error;
    while ((error = file.read(buffer.data() + count, buffer.size() - count, got)) == 0 && got > 0) {
        count += got;
        if (count == buffer.size())
            break;
    }
    return error;
}

struct Reading {
    FileReader& file;
    std::string& buffer;
    const std::atomic<bool>& stop;
};

// Feeds the file, `first` (already read, its mark taken off) and then the
// rest, to `check` and, without quotes for a CSV file, to the search.
template <class Check>
Outcome read_as(Reading& reading, std::string_view first, Check& check,
                const std::vector<std::string>& texts, bool csv, QuoteStrip::Unit unit)
{
    text_bytes::TextSearch search(texts);
    QuoteStrip strip(unit);
    std::string_view piece = first;
    for (;;) {
        check.feed(piece);
        search.feed(csv ? strip.feed(piece) : piece);
        if (check.failed())
            return Outcome::invalid;
        if (search.all_found())
            return Outcome::may_match;
        std::size_t count = 0;
        if (reading.stop.load(std::memory_order_relaxed) || fill(reading.file, reading.buffer, count) != 0)
            return Outcome::unreadable;
        if (count == 0)
            break;
        piece = std::string_view(reading.buffer.data(), count);
    }
    return check.valid() ? Outcome::no_match : Outcome::invalid;
}

// Neither marked nor UTF-8: read again from the start as GB18030.
Outcome read_as_gb18030(Reading& reading, const ScanTexts& texts, bool csv, const text_bytes::GbCodes& codes)
{
    std::size_t count = 0;
    if (reading.file.rewind() != 0 || fill(reading.file, reading.buffer, count) != 0)
        return Outcome::unreadable;
    text_bytes::GbCheck check(codes);
    return read_as(reading, std::string_view(reading.buffer.data(), count), check, texts.gb18030, csv,
                   QuoteStrip::Unit::byte);
}

Outcome read_encodings(Reading& reading, std::string_view first, const ScanTexts& texts, bool csv,
                       const text_bytes::GbCodes* gb)
{
    Mark mark = text_bytes::mark_of(first);
    std::string_view rest = first.substr(text_bytes::mark_length(mark));
    if (mark == Mark::utf16_le || mark == Mark::utf16_be) {
        bool little = mark == Mark::utf16_le;
        text_bytes::Utf16Check check(little);
        return read_as(reading, rest, check, little ? texts.utf16_le : texts.utf16_be, csv,
                       little ? QuoteStrip::Unit::utf16_le : QuoteStrip::Unit::utf16_be);
    }
    text_bytes::Utf8Check check;
    Outcome outcome = read_as(reading, rest, check, texts.utf8, csv, QuoteStrip::Unit::byte);
    if (outcome != Outcome::invalid || mark == Mark::utf8 || !gb)
        return outcome;
    return read_as_gb18030(reading, texts, csv, *gb);
}

}  // namespace

ScanVerdict scan_file(const ScanJob& job, const ScanRules& rules, const std::atomic<bool>& stop,
                      std::string& buffer)
{
    ScanVerdict verdict;
    verdict.csv = job.csv;
    FileReader file;
    if (file.open_to_scan(job.path) != 0)
        return verdict;
    verdict.identity = file.identity();
    buffer.resize(kPiece);
    std::size_t count = 0;
    if (fill(file, buffer, count) != 0)
        return verdict;
    std::string_view first(buffer.data(), count);
    verdict.known = true;
    verdict.binary = text_bytes::looks_binary(first);
    const ScanTexts& texts = job.csv ? rules.csv : rules.text;
    if ((verdict.binary && !job.csv) || !texts.usable ||
        (job.csv && verdict.identity.size > rules.csv_size_limit))
        return verdict;
    Reading reading{file, buffer, stop};
    verdict.no_match = read_encodings(reading, first, texts, job.csv, rules.gb) == Outcome::no_match;
    return verdict;
}

// ---- the rules -----------------------------------------------------------------

int scan_less()
{
    py::PendingError error;
    if (run::ends_run(error.value())) {
        error.restore();
        return -1;
    }
    return 0;
}

namespace {

// `text` (UTF-8) encoded by the interpreter's codec. 0, or -1.
int encode_as(const std::string& text, const char* codec, std::vector<std::string>& out)
{
    py::Ref str = py::Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    py::Ref bytes = str ? py::Ref::steal(PyUnicode_AsEncodedString(str.get(), codec, "strict")) : py::Ref();
    if (!bytes)
        return -1;
    out.emplace_back(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    return 0;
}

int encode_texts(const std::vector<std::string>& texts, ScanTexts& out)
{
    for (const std::string& text : texts) {
        if (text.empty())
            continue;
        out.utf8.push_back(text);
        if (encode_as(text, "utf-16-le", out.utf16_le) < 0 || encode_as(text, "utf-16-be", out.utf16_be) < 0 ||
            encode_as(text, "gb18030", out.gb18030) < 0)
            return -1;
    }
    out.usable = !out.utf8.empty();
    return 0;
}

// csv.field_size_limit(): a file with no more bytes than that has no
// longer cell. 0 when it cannot be learnt.
int csv_size_limit(std::uint64_t& out)
{
    out = 0;
    py::Ref csv = py::global("csv"_id);
    py::Ref limit = csv ? py::call_method(csv.get(), "field_size_limit"_id) : py::Ref();
    long long value = limit ? PyLong_AsLongLong(limit.get()) : -1;
    if (value == -1 && PyErr_Occurred())
        return scan_less();
    out = value > 0 ? static_cast<std::uint64_t>(value) : 0;
    return 0;
}

}  // namespace

int make_scan_rules(PyObject* pattern, ScanRules& out)
{
    out = ScanRules{};
    if (!run::current_options().case_sensitive)
        return 0;
    std::vector<std::string> texts;
    int readable = keyword::required_texts(pattern, texts);
    if (readable <= 0)
        return readable;
    // A cell's quotes are not in the cell: its texts are looked for in the
    // file with the quotes taken out of both.
    std::vector<std::string> unquoted;
    for (const std::string& text : texts) {
        unquoted.push_back(text);
        std::erase(unquoted.back(), '"');
    }
    if (encode_texts(texts, out.text) < 0 || encode_texts(unquoted, out.csv) < 0) {
        out = ScanRules{};
        return scan_less() < 0 ? -1 : 0;  // no scan, then: the handlers read every file
    }
    if (csv_size_limit(out.csv_size_limit) < 0)
        return -1;
    out.gb = gb_codes();
    if (!out.gb && scan_less() < 0)
        return -1;
    return out.text.usable ? 1 : 0;
}

// ---- the thread ----------------------------------------------------------------

namespace {

// scan_file where an allocation may fail: such a file is left to its handler.
ScanVerdict scan_quietly(const ScanJob& job, const ScanRules& rules, const std::atomic<bool>& stop,
                         std::string& buffer) noexcept
{
    try {
        return scan_file(job, rules, stop, buffer);
    } catch (...) {
        return ScanVerdict{};
    }
}

}  // namespace


ScanAhead::~ScanAhead()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        stopping_ = true;
    }
    work_ready_.notify_all();
    if (thread_.joinable()) {
        Py_BEGIN_ALLOW_THREADS
        thread_.join();
        Py_END_ALLOW_THREADS
    }
}

bool ScanAhead::start()
{
    try {
        thread_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

std::uint64_t ScanAhead::add(std::vector<ScanJob>& jobs)
{
    std::uint64_t ticket;
    bool wake;
    {
        std::lock_guard lock(mutex_);
        ticket = first_ + slots_.size();
        for (ScanJob& job : jobs)
            slots_.push_back(Slot{std::move(job)});
        wake = worker_idle_ && unscanned() >= kWakeBatch;
    }
    if (wake)
        work_ready_.notify_one();
    return ticket;
}

std::uint64_t ScanAhead::unscanned() const
{
    return first_ + slots_.size() - std::max(next_, first_);
}

bool ScanAhead::next_ready() const
{
    std::uint64_t next = std::max(next_, first_);
    return next < first_ + slots_.size() && next < first_ + kAhead;
}

void ScanAhead::work()
{
    std::string buffer;
    std::unique_lock lock(mutex_);
    for (;;) {
        worker_idle_ = true;
        work_ready_.wait(lock, [this] { return stop_ || next_ready(); });
        worker_idle_ = false;
        if (stop_)
            return;
        next_ = std::max(next_, first_);
        std::uint64_t ticket = next_++;
        Slot& slot = slots_[ticket - first_];
        if (slot.state != SlotState::waiting)
            continue;
        slot.state = SlotState::scanning;
        ScanJob job = std::move(slot.job);
        lock.unlock();
        ScanVerdict verdict = scan_quietly(job, rules_, stopping_, buffer);
        lock.lock();
        if (ticket >= first_) {
            Slot& done = slots_[ticket - first_];
            done.verdict = verdict;
            done.state = SlotState::done;
            if (ticket == waited_for_)
                verdict_ready_.notify_one();
        }
    }
}

void ScanAhead::drop_before(std::uint64_t ticket)
{
    while (first_ < ticket && !slots_.empty()) {
        slots_.pop_front();
        ++first_;
    }
}

void ScanAhead::forget(std::uint64_t ticket)
{
    std::lock_guard lock(mutex_);
    drop_before(ticket + 1);
}

ScanVerdict ScanAhead::wait_for_front()
{
    std::unique_lock lock(mutex_);
    waited_for_ = first_;
    verdict_ready_.wait(lock, [this] { return slots_.front().state == SlotState::done; });
    waited_for_ = 0;
    return slots_.front().verdict;
}

ScanVerdict ScanAhead::take(std::uint64_t ticket)
{
    std::unique_lock lock(mutex_);
    drop_before(ticket);
    if (slots_.empty() || first_ != ticket)
        return ScanVerdict{};
    ScanVerdict verdict;
    while (slots_.front().state == SlotState::scanning && help_ahead(lock)) {
    }
    if (slots_.front().state == SlotState::done) {  // the usual case: no wait
        verdict = slots_.front().verdict;
        return taken(lock, ticket, verdict);
    }
    bool waiting = slots_.front().state == SlotState::waiting;
    ScanJob job;
    if (waiting) {
        // Not reached yet: scanned here rather than waited for.
        slots_.front().state = SlotState::scanning;
        next_ = std::max(next_, ticket + 1);
        job = std::move(slots_.front().job);
    }
    lock.unlock();
    Py_BEGIN_ALLOW_THREADS
    verdict = waiting ? scan_quietly(job, rules_, stopping_, run_buffer_) : wait_for_front();
    Py_END_ALLOW_THREADS
    lock.lock();
    return taken(lock, ticket, verdict);
}

// While the thread scans the file the run waits for, the run scans the
// next file nobody has taken, rather than sleep and be woken for each file.
// False when there is none.
bool ScanAhead::help_ahead(std::unique_lock<std::mutex>& lock)
{
    if (!next_ready())
        return false;
    next_ = std::max(next_, first_);
    std::uint64_t ticket = next_++;
    Slot& slot = slots_[ticket - first_];
    if (slot.state != SlotState::waiting)
        return true;
    slot.state = SlotState::scanning;
    ScanJob job = std::move(slot.job);
    lock.unlock();
    ScanVerdict verdict;
    Py_BEGIN_ALLOW_THREADS
    verdict = scan_quietly(job, rules_, stopping_, run_buffer_);
    Py_END_ALLOW_THREADS
    lock.lock();
    Slot& done = slots_[ticket - first_];  // only the run drops slots
    done.verdict = verdict;
    done.state = SlotState::done;
    return true;
}

ScanVerdict ScanAhead::taken(std::unique_lock<std::mutex>& lock, std::uint64_t ticket, const ScanVerdict& verdict)
{
    drop_before(ticket + 1);
    bool wake = worker_idle_ && unscanned() >= kWakeBatch;
    lock.unlock();
    if (wake)  // it may have been waiting for room ahead
        work_ready_.notify_one();
    return verdict;
}

}  // namespace tw::content
