#include "platform/core/record.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>

namespace tw::platform::native {

namespace {

constexpr int kVersion = 1;

// ---- fields -----------------------------------------------------------------

// Windows names are UTF-16 code units, which may be unpaired: each unit is
// written on its own as UTF-8 would write its value, so any name comes back.
std::string to_bytes(const String& text)
{
#ifdef _WIN32
    std::string bytes;
    for (wchar_t unit : text) {
        unsigned value = static_cast<unsigned>(unit);
        if (value < 0x80) {
            bytes += static_cast<char>(value);
        } else if (value < 0x800) {
            bytes += static_cast<char>(0xC0 | (value >> 6));
            bytes += static_cast<char>(0x80 | (value & 0x3F));
        } else {
            bytes += static_cast<char>(0xE0 | (value >> 12));
            bytes += static_cast<char>(0x80 | ((value >> 6) & 0x3F));
            bytes += static_cast<char>(0x80 | (value & 0x3F));
        }
    }
    return bytes;
#else
    return text;
#endif
}

bool from_bytes(const std::string& bytes, String& text)
{
#ifdef _WIN32
    text.clear();
    for (std::size_t i = 0; i < bytes.size();) {
        unsigned char lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : 3;
        if (i + length > bytes.size())
            return false;
        unsigned value = length == 1 ? lead : length == 2 ? lead & 0x1F : lead & 0x0F;
        for (std::size_t k = 1; k < length; ++k)
            value = (value << 6) | (static_cast<unsigned char>(bytes[i + k]) & 0x3F);
        text += static_cast<wchar_t>(value);
        i += length;
    }
    return true;
#else
    text = bytes;
    return true;
#endif
}

int hex_value(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}


// ---- lines --------------------------------------------------------------------

std::uint32_t line_sum(std::string_view line)
{
    std::uint32_t sum = 2166136261u;
    for (char c : line)
        sum = (sum ^ static_cast<unsigned char>(c)) * 16777619u;
    return sum;
}

std::string sealed(std::string line)
{
    char seal[16];
    std::snprintf(seal, sizeof seal, " ~%08x\n", static_cast<unsigned>(line_sum(line)));
    return line + seal;
}

// The fields of one whole, intact line; false for a torn or damaged one.
bool unseal(std::string_view line, std::vector<std::string_view>& fields)
{
    std::size_t seal = line.rfind(" ~");
    if (seal == std::string_view::npos || line.size() - seal != 10)
        return false;
    std::uint64_t stored = 0;
    auto [end, error] = std::from_chars(line.data() + seal + 2, line.data() + line.size(), stored, 16);
    if (error != std::errc() || end != line.data() + line.size() || stored != line_sum(line.substr(0, seal)))
        return false;
    fields.clear();
    std::string_view rest = line.substr(0, seal);
    for (std::size_t at = 0; at <= rest.size();) {
        std::size_t space = rest.find(' ', at);
        if (space == std::string_view::npos)
            space = rest.size();
        fields.push_back(rest.substr(at, space - at));
        at = space + 1;
    }
    return true;
}


}  // namespace

const Char* const kRecordFileName = TW_NATIVE("record");

std::string encode_field(const String& text)
{
    if (text.empty())
        return "-";
    std::string bytes = to_bytes(text), out;
    for (char c : bytes) {
        unsigned char b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b == '%' || b == 0x7F || (bytes == "-")) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", b);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

bool decode_field(std::string_view field, String& text)
{
    if (field == "-") {
        text.clear();
        return true;
    }
    std::string bytes;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            bytes += field[i];
            continue;
        }
        if (i + 2 >= field.size() || hex_value(field[i + 1]) < 0 || hex_value(field[i + 2]) < 0)
            return false;
        bytes += static_cast<char>(hex_value(field[i + 1]) * 16 + hex_value(field[i + 2]));
        i += 2;
    }
    return from_bytes(bytes, text);
}

namespace {

// Entries are numbered in the order they are made, so each list is sorted.
template <class Entry>
Entry* numbered(std::vector<Entry>& entries, std::uint64_t number)
{
    auto found = std::lower_bound(entries.begin(), entries.end(), number,
                                  [](const Entry& entry, std::uint64_t wanted) { return entry.number < wanted; });
    return found != entries.end() && found->number == number ? &*found : nullptr;
}

}  // namespace

RecordItem* RecordState::item(std::uint64_t number) { return numbered(items, number); }

RecordTemp* RecordState::temp(std::uint64_t number) { return numbered(temps, number); }

}  // namespace tw::platform::native

// ---- the journal ----------------------------------------------------------------

namespace tw::platform::native {

namespace {

// Whether the entry on `line` speaks of the run as a whole (see
// Record::Detail): its tag, read before the line is checked.
bool in_outline(std::string_view line)
{
    std::string_view tag = line.substr(0, line.find(' '));
    for (std::string_view outline : {"run", "root", "backups", "end", "undo", "undo-end"})
        if (tag == outline)
            return true;
    return false;
}

Error read_state(os::File& file, RecordState& state, Record::Detail detail = Record::Detail::whole)
{
    std::string bytes;
    if (Error error = file.read_all(bytes))
        return error;
    state = RecordState{};
    std::vector<std::string_view> fields;
    std::string_view rest = bytes;
    bool headed = false;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        if (end == std::string_view::npos)
            break;  // torn by a crash while it was written
        std::string_view line = rest.substr(0, end);
        if ((detail == Record::Detail::whole || in_outline(line)) && unseal(line, fields) &&
            (headed || fields[0] == "run"))
            headed = apply_entry(state, fields) || headed;
        rest.remove_prefix(end + 1);
    }
    return headed ? 0 : changed_since_decided();
}

std::int64_t seconds_now()
{
    using namespace std::chrono;
    return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::uint64_t highest_number(const RecordState& state)
{
    std::uint64_t highest = 0;
    for (const RecordItem& item : state.items)
        highest = std::max(highest, item.number);
    for (const RecordTemp& temp : state.temps)
        highest = std::max(highest, temp.number);
    return highest;
}

}  // namespace

Error Record::create(const String& folder, const String& root, std::string_view operation, bool undoable,
                     std::unique_ptr<Record>& out)
{
    auto record = std::make_unique<Record>();
    record->folder_ = folder;
    if (Error error = record->file_.open_record(join(folder, kRecordFileName), true))
        return error;
    if (Error error = record->file_.try_lock())
        return error;
    record->state_.operation = std::string(operation);
    record->state_.root = root;
    record->state_.undoable = undoable;
    record->state_.started = seconds_now();
    if (Error error = record->add("run", {number(std::uint64_t{kVersion}), std::string(operation),
                                          encode_field(root), undoable ? "1" : "0",
                                          number(record->state_.started)}, Write::synced))
        return error;
    // The record's name, and its folder's, must outlast a power loss.
    if (Error error = sync_folder(folder))
        return error;
    if (Error error = sync_folder(folder_of(folder)))
        return error;
    out = std::move(record);
    return 0;
}

Error Record::open(const String& folder, std::unique_ptr<Record>& out)
{
    auto record = std::make_unique<Record>();
    record->folder_ = folder;
    if (Error error = record->file_.open_record(join(folder, kRecordFileName), false))
        return error;
    if (Error error = record->file_.try_lock())
        return error;
    if (Error error = read_state(record->file_, record->state_))
        return error;
    record->next_number_ = highest_number(record->state_) + 1;
    out = std::move(record);
    return 0;
}

Error Record::read(const String& folder, RecordState& state, Detail detail)
{
    os::File file;
    if (Error error = file.open_checked(join(folder, kRecordFileName), nullptr))
        return error;
    return read_state(file, state, detail);
}

bool Record::in_use(const String& folder)
{
    os::File file;
    if (file.open_record(join(folder, kRecordFileName), false) != 0)
        return false;
    return os::is_busy(file.try_lock());
}

Record::~Record()
{
    if (!held_back_.empty() && file_.is_open())
        file_.append(held_back_);
}

Error Record::add(std::string_view tag, const std::vector<std::string>& fields, Write when)
{
    std::string line(tag);
    for (const std::string& field : fields)
        line += " " + field;
    held_back_ += sealed(std::move(line));
    if (when == Write::later && held_back_.size() < (64 << 10))
        return 0;
    Error error = file_.append(held_back_);
    held_back_.clear();
    return error ? error : when == Write::synced ? sync() : 0;
}

Error Record::write_held()
{
    if (held_back_.empty())
        return 0;
    Error error = file_.append(held_back_);
    held_back_.clear();
    return error;
}

Error Record::sync()
{
    if (Error error = write_held())
        return error;
    if (Error error = file_.sync())
        return error;
    if (dirty_folders_.pending() > 0)
        return dirty_folders_.sync_all();
    return 0;
}

Error Record::end()
{
    state_.ended = true;
    return add("end", {}, Write::synced);
}

Error Record::made_temp(const String& path, const FileId& id, std::uint64_t& number_made)
{
    number_made = next_number_++;
    state_.temps.push_back({number_made, path, id, false});
    return add("temp", {number(number_made), encode_field(path), id_fields(id)});
}

void Record::root_moved(const String& now)
{
    state_.root_now = now;
    add("root", {encode_field(now)});
}

}  // namespace tw::platform::native
