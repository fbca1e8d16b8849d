// Reading a record back: each intact line applied to the state in order. A
// damaged or torn line is passed over; what it would have said, the disk
// tells when the record is settled (an intended step that did not happen
// looks the same as one never recorded as done).
#include "platform/core/record.h"

#include <charconv>

namespace tw::platform::native {

namespace {

// The fields of one entry, read in order; any field that does not read
// spoils the entry.
class Fields {
public:
    explicit Fields(const std::vector<std::string_view>& fields) : fields_(fields) {}

    bool ok() const { return ok_ && at_ == fields_.size(); }

    std::string_view next()
    {
        if (at_ >= fields_.size()) {
            ok_ = false;
            return {};
        }
        return fields_[at_++];
    }
    template <class Number>
    Number read_number()
    {
        std::string_view text = next();
        Number value{};
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        ok_ = ok_ && error == std::errc() && end == text.data() + text.size();
        return value;
    }
    std::uint64_t u() { return read_number<std::uint64_t>(); }
    std::int64_t i() { return read_number<std::int64_t>(); }
    String path()
    {
        String text;
        ok_ = ok_ && decode_field(next(), text);
        return text;
    }
    FileId id()
    {
        FileId id;
        id.device = u();
        id.number = u();
        return id;
    }
    Identity identity()
    {
        Identity identity;
        identity.id = id();
        identity.size = u();
        identity.mtime_ns = i();
        identity.sum = u();
        return identity;
    }

private:
    const std::vector<std::string_view>& fields_;
    std::size_t at_ = 1;  // past the tag
    bool ok_ = true;
};

bool apply_run(RecordState& state, Fields& f)
{
    std::uint64_t version = f.u();
    std::string_view operation = f.next();
    String root = f.path();
    std::uint64_t undoable = f.u();
    std::int64_t started = f.i();
    if (!f.ok() || version != 1)
        return false;
    state.operation = std::string(operation);
    state.root = root;
    state.undoable = undoable != 0;
    state.started = started;
    return true;
}

// An item's line: its number and path, then the fields `rest` reads. The
// item is kept when every field was read.
template <class Rest>
bool apply_item(RecordState& state, Fields& f, ItemType type, Rest&& rest)
{
    RecordItem item;
    item.by_undo = state.undo_started;
    item.type = type;
    item.number = f.u();
    item.path = f.path();
    rest(item);
    if (!f.ok())
        return false;
    state.items.push_back(item);
    return true;
}

bool apply_swap(RecordState& state, Fields& f)
{
    return apply_item(state, f, ItemType::swap, [&](RecordItem& item) {
        item.backup = f.path();
        item.backup_copied = f.u() != 0;
        item.old_id = f.id();
        item.old_content.size = f.u();
        item.old_content.sum = f.u();
        item.written = f.identity();
    });
}

bool apply_rewrite(RecordState& state, Fields& f)
{
    return apply_item(state, f, ItemType::rewrite, [&](RecordItem& item) {
        item.backup = f.path();
        item.backup_copied = true;
        item.old_content.size = f.u();
        item.old_content.sum = f.u();
        item.written.size = f.u();
        item.written.sum = f.u();
    });
}

bool apply_rename(RecordState& state, Fields& f)
{
    return apply_item(state, f, ItemType::rename, [&](RecordItem& item) {
        item.new_path = f.path();
        item.old_id = f.id();
    });
}

bool apply_temp(RecordState& state, Fields& f)
{
    RecordTemp temp;
    temp.number = f.u();
    temp.path = f.path();
    temp.id = f.id();
    if (!f.ok())
        return false;
    state.temps.push_back(temp);
    return true;
}

// "swapped 3", "dropped 3", "rewritten 3 ...", "undone 3" and the like.
bool apply_outcome(RecordState& state, std::string_view tag, Fields& f)
{
    std::uint64_t number = f.u();
    Identity written;
    if (tag == "rewritten")
        written = f.identity();
    RecordItem* item = state.item(number);
    if (!f.ok() || !item)
        return false;
    if (tag == "undoing" || tag == "undone") {
        item->undoing = true;
        item->undone = tag == "undone";
        return true;
    }
    bool done = tag == "swapped" || tag == "rewritten" || tag == "renamed";
    item->state = done ? ItemState::done : ItemState::dropped;
    if (tag == "rewritten")
        item->written = written;
    return true;
}

bool apply_mark(RecordState& state, std::string_view tag, Fields& f)
{
    if (tag == "root" || tag == "backups") {
        String path = f.path();
        if (f.ok())
            (tag == "root" ? state.root_now : state.backup_folder) = path;
    } else if (!f.ok()) {
        return false;
    } else if (tag == "end") {
        state.ended = true;
    } else if (tag == "undo") {
        state.undo_started = true;
    } else if (tag == "undo-end") {
        state.undo_ended = true;
    } else {
        return false;
    }
    return f.ok();
}

}  // namespace

bool apply_entry(RecordState& state, const std::vector<std::string_view>& fields)
{
    if (fields.empty())
        return false;
    std::string_view tag = fields[0];
    Fields f(fields);
    if (tag == "run")
        return apply_run(state, f);
    if (tag == "temp")
        return apply_temp(state, f);
    if (tag == "swap")
        return apply_swap(state, f);
    if (tag == "rewrite")
        return apply_rewrite(state, f);
    if (tag == "rename")
        return apply_rename(state, f);
    for (std::string_view outcome : {"swapped", "dropped", "rewritten", "restored", "renamed", "kept",
                                     "undoing", "undone"})
        if (tag == outcome)
            return apply_outcome(state, tag, f);
    return apply_mark(state, tag, f);
}

}  // namespace tw::platform::native
