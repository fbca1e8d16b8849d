#include "content/workbook_references.h"

namespace tw::content::workbook {

namespace {

constexpr std::size_t npos = std::string_view::npos;

// Characters of a table name: letters, digits, "_", "." and "\", and
// everything beyond ASCII.
bool is_name_byte(char c)
{
    auto u = static_cast<unsigned char>(c);
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '_' || u == '.' ||
           u == '\\' || u >= 0x80;
}

// After the quoted text opening at `open` ("a string" or 'a sheet name',
// the quote doubled inside): the index past its closing quote.
std::size_t past_quoted(std::string_view text, std::size_t open)
{
    char quote = text[open];
    for (std::size_t i = open + 1; i < text.size(); ++i) {
        if (text[i] != quote)
            continue;
        if (i + 1 < text.size() && text[i + 1] == quote)
            ++i;
        else
            return i + 1;
    }
    return text.size();
}

// The closing "]" of the bracket group opening at `open`, nested groups
// included; inside, "'" escapes the next character. npos when it does not
// close.
std::size_t group_end(std::string_view text, std::size_t open)
{
    int depth = 0;
    for (std::size_t i = open; i < text.size(); ++i) {
        if (text[i] == '\'')
            ++i;
        else if (text[i] == '[')
            ++depth;
        else if (text[i] == ']' && --depth == 0)
            return i;
    }
    return npos;
}

// The first unescaped "]" from `from`, npos when none.
std::size_t item_end(std::string_view text, std::size_t from)
{
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == '\'')
            ++i;
        else if (text[i] == ']')
            return i;
        else if (text[i] == '[')
            return npos;
    }
    return npos;
}

std::size_t skip_spaces(std::string_view text, std::size_t i)
{
    while (i < text.size() && text[i] == ' ')
        ++i;
    return i;
}

std::string unescape(std::string_view raw)
{
    std::string name;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\'' && i + 1 < raw.size())
            ++i;
        name += raw[i];
    }
    return name;
}

std::string escape(std::string_view name)
{
    std::string raw;
    for (char c : name) {
        if (c == '[' || c == ']' || c == '#' || c == '\'' || c == '@')
            raw += '\'';
        raw += c;
    }
    return raw;
}

// A name that may stand alone in "Table[Name]": letters, digits and inner
// spaces. Any other needs its own brackets, "Table[[Name]]", which are
// never wrong.
bool stands_alone(std::string_view name)
{
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        bool letter_or_digit = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9');
        if (!letter_or_digit && u < 0x80 && u != ' ')
            return false;
    }
    return !name.empty() && name.front() != ' ' && name.back() != ' ';
}

// One item of a reference's specifier: where its text lies in the group.
struct Item {
    std::size_t begin, end;
    bool bracketed;
};

// The items of what lies between a table name's brackets: nothing, one
// name ("Amount", "@Amount", "#All"), or bracketed items joined by "," or
// ":". False when it reads as none of these.
bool read_items(std::string_view content, std::vector<Item>& items)
{
    std::size_t i = skip_spaces(content, 0);
    if (i < content.size() && content[i] == '@')
        i = skip_spaces(content, i + 1);
    if (i == content.size())
        return true;
    if (content[i] != '[') {
        items.push_back({i, content.size(), false});
        return true;
    }
    while (i < content.size()) {
        std::size_t close = content[i] == '[' ? item_end(content, i + 1) : npos;
        if (close == npos)
            return false;
        items.push_back({i + 1, close, true});
        i = skip_spaces(content, close + 1);
        if (i == content.size())
            break;
        if (content[i] != ',' && content[i] != ':')
            return false;
        i = skip_spaces(content, i + 1);
        if (i == content.size())
            return false;
    }
    return true;
}

// The rename an item names among `renames`, or null.
const ColumnRename* renamed_by(std::string_view content, const Item& item,
                               const std::vector<const ColumnRename*>& renames, const Fold& fold)
{
    std::string name = unescape(content.substr(item.begin, item.end - item.begin));
    if (name.empty() || name[0] == '#')
        return nullptr;
    std::string folded = fold(name);
    for (const ColumnRename* rename : renames)
        if (rename->old_name == folded || rename->new_folded == folded)
            return rename;
    return nullptr;
}

// The group of a reference with the table name `table` (empty: none;
// `foreign`: into another workbook), rewritten into `out`.
FormulaEdit rename_in_group(std::string_view table, bool foreign, std::string_view content,
                            const std::vector<ColumnRename>& renames, const Fold& fold, std::string& out)
{
    std::string folded = table.empty() ? std::string() : fold(table);
    std::vector<const ColumnRename*> mine, any;
    for (const ColumnRename& rename : renames) {
        any.push_back(&rename);
        if (!table.empty() && rename.table == folded)
            mine.push_back(&rename);
    }
    out.assign(content);
    std::vector<Item> items;
    if (!read_items(content, items))
        return mine.empty() ? FormulaEdit::unchanged : FormulaEdit::uncertain;
    bool changed = false;
    for (auto item = items.rbegin(); item != items.rend(); ++item) {
        if (table.empty() || foreign) {
            if (renamed_by(content, *item, table.empty() ? any : mine, fold))
                return FormulaEdit::uncertain;
            continue;
        }
        const ColumnRename* rename = renamed_by(content, *item, mine, fold);
        if (!rename)
            continue;
        std::string name = escape(rename->new_name);
        if (!item->bracketed && !stands_alone(rename->new_name))
            name = "[" + name + "]";
        if (content.substr(item->begin, item->end - item->begin) == name)
            continue;
        out.replace(item->begin, item->end - item->begin, name);
        changed = true;
    }
    return changed ? FormulaEdit::changed : FormulaEdit::unchanged;
}

}  // namespace

FormulaEdit rename_columns(std::string& formula, const std::vector<ColumnRename>& renames, const Fold& fold)
{
    std::string out;
    bool changed = false;
    std::size_t i = 0;
    while (i < formula.size()) {
        char c = formula[i];
        if (c == '"' || c == '\'') {
            std::size_t end = past_quoted(formula, i);
            out.append(formula, i, end - i);
            i = end;
            continue;
        }
        if (c != '[') {
            out += c;
            ++i;
            continue;
        }
        std::size_t close = group_end(formula, i);
        if (close == npos)
            return FormulaEdit::uncertain;
        std::size_t start = i;
        while (start > 0 && is_name_byte(formula[start - 1]))
            --start;
        std::string_view text = formula;
        bool foreign = start > 0 && (text[start - 1] == '!' || text[start - 1] == ']');
        std::string group;
        FormulaEdit step = rename_in_group(text.substr(start, i - start), foreign, text.substr(i + 1, close - i - 1),
                                           renames, fold, group);
        if (step == FormulaEdit::uncertain)
            return step;
        changed = changed || step == FormulaEdit::changed;
        out += '[';
        out += group;
        out += ']';
        i = close + 1;
    }
    if (!changed)
        return FormulaEdit::unchanged;
    formula = std::move(out);
    return FormulaEdit::changed;
}

}  // namespace tw::content::workbook
