#include "content/xml_scan.h"

#include "platform/core/ascii.h"

#include <algorithm>

namespace tw::content::xml_scan {

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace"sv;
constexpr std::string_view kXmlnsNamespace = "http://www.w3.org/2000/xmlns/"sv;

// What the libraries' parser (libxml2 without its "huge" option) refuses
// and expat takes: deeper nesting, longer text nodes, attribute values and
// names. Parts beyond these bounds are left to the library, a little short
// of its own limits.
constexpr std::size_t kDeepest = 200;
constexpr std::size_t kLongestText = std::size_t{8} << 20;
constexpr std::size_t kLongestName = 10000;

// Expat is fed in slices, so that little more than a slice is read after a
// hook has asked it to stop: it has no way to be stopped from here.
constexpr std::size_t kSlice = 64 * 1024;

Reader& reader(void* self) { return *static_cast<Reader*>(self); }

bool equal_ignoring_case(std::string_view a, std::string_view b)
{
    return platform::native::equal_ignoring_ascii_case(a, b);
}

// The encoding an XML declaration names, UTF-8 when it names none. Expat
// has checked the declaration's form already: "encoding" can only stand
// there as the name of that pseudo-attribute.
std::string_view declared_encoding(std::string_view declaration)
{
    std::size_t at = declaration.find("encoding"sv);
    if (at == std::string_view::npos)
        return "UTF-8"sv;
    std::size_t open = declaration.find_first_of("\"'"sv, at);
    std::size_t close = open == std::string_view::npos ? open : declaration.find(declaration[open], open + 1);
    if (close == std::string_view::npos)
        return {};
    return declaration.substr(open + 1, close - open - 1);
}

// "xmlns" or "xmlns:prefix": a namespace declaration, not an attribute.
bool is_declaration(std::string_view qname)
{
    return qname.substr(0, 5) == "xmlns"sv && (qname.size() == 5 || qname[5] == ':');
}

// Names are taken in ASCII only, where expat and the libraries' parser
// surely agree on what starts a name without a colon.
bool starts_name(std::string_view name)
{
    char c = name.empty() ? '\0' : name[0];
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

}  // namespace

// ---------------------------------------------------------------- namespaces

// A declaration of the prefix "xml" or "xmlns", or of any prefix for their
// namespaces, is not taken (the first is allowed, to its own namespace, but
// no office program writes it).
bool Namespaces::open(const char* const* attributes)
{
    marks_.push_back(bindings_.size());
    for (const char* const* each = attributes; *each; each += 2) {
        std::string_view qname = each[0];
        if (!is_declaration(qname))
            continue;
        std::string_view prefix = qname.size() == 5 ? ""sv : qname.substr(6);
        std::string_view uri = each[1];
        if (qname.size() > 5 && (!starts_name(prefix) || prefix.find(':') != std::string_view::npos ||
                                 uri.empty() || prefix == "xml"sv || prefix == "xmlns"sv))
            return false;
        if (uri == kXmlNamespace || uri == kXmlnsNamespace)
            return false;
        bindings_.push_back({std::string(prefix), std::string(uri)});
        last_ = nullptr;
    }
    return true;
}

void Namespaces::close()
{
    if (bindings_.size() != marks_.back()) {
        bindings_.resize(marks_.back());
        last_ = nullptr;
    }
    marks_.pop_back();
}

// Most names of a part share one or two prefixes: the last binding found
// is tried first.
const Namespaces::Binding* Namespaces::find(std::string_view prefix)
{
    if (last_ && last_->prefix == prefix)
        return last_;
    for (auto binding = bindings_.rbegin(); binding != bindings_.rend(); ++binding)
        if (binding->prefix == prefix)
            return last_ = &*binding;
    return nullptr;
}

bool Namespaces::resolve(std::string_view qname, bool element, Name& out)
{
    std::size_t colon = qname.find(':');
    out.uri = {};
    out.local = colon == std::string_view::npos ? qname : qname.substr(colon + 1);
    if (!starts_name(out.local) || out.local.find(':') != std::string_view::npos)
        return false;
    if (colon == std::string_view::npos) {
        const Binding* fallback = element ? find(""sv) : nullptr;
        if (fallback)
            out.uri = fallback->uri;
        return true;
    }
    std::string_view prefix = qname.substr(0, colon);
    if (prefix == "xml"sv) {
        out.uri = kXmlNamespace;
        return true;
    }
    const Binding* binding = starts_name(prefix) ? find(prefix) : nullptr;
    if (!binding || binding->uri.empty())
        return false;
    out.uri = binding->uri;
    return true;
}

// ---------------------------------------------------------------- the needles

Needles::Needles(const std::vector<std::string>& needles)
{
    for (const std::string& needle : needles) {
        std::size_t length = std::min(needle.size(), max_length);
        std::array<std::uint64_t, 256> masks{};
        for (std::size_t i = 0; i < length; ++i)
            masks[static_cast<unsigned char>(needle[i])] |= std::uint64_t{1} << i;
        masks_.push_back(masks);
        last_.push_back(length ? std::uint64_t{1} << (length - 1) : 0);
    }
}

TextMatch::TextMatch(const Needles& needles, std::vector<char>& found)
    : needles_(needles), found_(found), state_(needles.size(), 0), carried_(needles.size(), 0)
{
    found_.resize(needles.size(), 0);
}

void TextMatch::open_paragraph()
{
    saved_.insert(saved_.end(), carried_.begin(), carried_.end());
    std::fill(carried_.begin(), carried_.end(), 0);
}

void TextMatch::close_paragraph()
{
    std::size_t count = carried_.size();
    std::copy(saved_.end() - static_cast<std::ptrdiff_t>(count), saved_.end(), carried_.begin());
    saved_.resize(saved_.size() - count);
}

// A bit-parallel match of every needle: bit i of a state is set when the
// last i+1 bytes read are the needle's first i+1. A piece starts from the
// states carried from the paragraph's earlier pieces, any of which the
// libraries may leave out.
void TextMatch::text(std::string_view bytes)
{
    if (!in_piece_) {
        state_ = carried_;
        in_piece_ = true;
    }
    for (std::size_t i = 0; i < state_.size(); ++i) {
        const auto& masks = needles_.masks_[i];
        std::uint64_t last = needles_.last_[i];
        std::uint64_t state = state_[i];
        bool hit = false;
        for (char byte : bytes) {
            state = ((state << 1) | 1) & masks[static_cast<unsigned char>(byte)];
            hit |= (state & last) != 0;
        }
        state_[i] = state;
        if (hit)
            found_[i] = 1;
        found_any_ |= hit;
    }
}

void TextMatch::end_piece()
{
    if (!in_piece_)
        return;
    for (std::size_t i = 0; i < carried_.size(); ++i)
        carried_[i] |= state_[i];
    in_piece_ = false;
}

// ---------------------------------------------------------------- the reader

Reader::Reader(const PyExpat_CAPI& expat, const Needles& needles, std::vector<char>& found, Hooks* hooks)
    : expat_(expat), match_(needles, found), hooks_(hooks)
{
    parser_ = expat_.ParserCreate_MM(nullptr, nullptr, nullptr);
    if (!parser_) {
        failed_ = true;
        return;
    }
    expat_.SetUserData(parser_, this);
    expat_.SetElementHandler(parser_, on_start, on_end);
    expat_.SetCharacterDataHandler(parser_, on_text);
    expat_.SetCommentHandler(parser_, on_comment);
    expat_.SetProcessingInstructionHandler(parser_, on_instruction);
    expat_.SetStartDoctypeDeclHandler(parser_, on_doctype);
    expat_.SetDefaultHandlerExpand(parser_, on_other);
}

Reader::~Reader()
{
    if (parser_)
        expat_.ParserFree(parser_);
}

bool Reader::parse(const char* bytes, std::size_t size, bool final)
{
    do {
        std::size_t slice = std::min(size, kSlice);
        bool last = final && slice == size;
        if (expat_.Parse(parser_, bytes, static_cast<int>(slice), last) != XML_STATUS_OK)
            failed_ = true;
        bytes += slice;
        size -= slice;
    } while (size > 0 && !failed_);
    return !failed_;
}

bool Reader::feed(std::string_view bytes)
{
    return !failed_ && parse(bytes.data(), bytes.size(), false);
}

bool Reader::finish()
{
    return !failed_ && parse("", 0, true) && root_seen_;
}

void Reader::start(const char* qname, const char* const* attributes)
{
    Name name;
    if (open_.size() >= kDeepest || !namespaces_.open(attributes) || !namespaces_.resolve(qname, true, name) ||
        name.local.size() > kLongestName || !read_attributes(attributes)) {
        failed_ = true;
        return;
    }
    child_node();
    if (hooks_ && !hooks_->element(open_.size(), name, attributes_)) {
        failed_ = true;
        return;
    }
    root_seen_ = true;
    bool paragraph = name.local == "p"sv;
    if (paragraph)
        match_.open_paragraph();
    open_.push_back({name.local == "t"sv, paragraph});
}

// The element's attributes resolved. Expat has made sure that no name
// stands twice; two prefixes of one namespace may still give two
// attributes one expanded name.
bool Reader::read_attributes(const char* const* attributes)
{
    attributes_.clear();
    for (const char* const* each = attributes; *each; each += 2) {
        Attribute attribute;
        attribute.value = each[1];
        if (attribute.value.size() > kLongestText)
            return false;
        if (is_declaration(each[0]))
            continue;
        if (!namespaces_.resolve(each[0], false, attribute.name))
            return false;
        for (const Attribute& earlier : attributes_)
            if (!earlier.name.uri.empty() && earlier.name.local == attribute.name.local &&
                earlier.name.uri == attribute.name.uri)
                return false;
        attributes_.push_back(attribute);
    }
    return true;
}

// Something other than text within the element now open.
void Reader::child_node()
{
    if (!open_.empty() && open_.back().text)
        match_.end_piece();
    run_ = 0;
}

void Reader::on_start(void* self, const XML_Char* name, const XML_Char** attributes)
{
    if (!reader(self).failed_)
        reader(self).start(name, attributes);
}

void Reader::on_end(void* self, const XML_Char* /*name*/)
{
    Reader& r = reader(self);
    if (r.failed_)
        return;
    Open top = r.open_.back();
    if (top.text)
        r.match_.end_piece();
    if (top.paragraph)
        r.match_.close_paragraph();
    r.open_.pop_back();
    r.namespaces_.close();
    r.run_ = 0;
}

void Reader::on_text(void* self, const XML_Char* text, int length)
{
    Reader& r = reader(self);
    if (r.failed_)
        return;
    r.run_ += static_cast<std::size_t>(length);
    if (r.run_ > kLongestText)
        r.failed_ = true;
    else if (!r.open_.empty() && r.open_.back().text)
        r.match_.text(std::string_view(text, static_cast<std::size_t>(length)));
}

void Reader::on_comment(void* self, const XML_Char* /*data*/)
{
    if (!reader(self).failed_)
        reader(self).child_node();
}

void Reader::on_instruction(void* self, const XML_Char* /*target*/, const XML_Char* /*data*/)
{
    if (!reader(self).failed_)
        reader(self).child_node();
}

// A document type may declare entities, which the libraries do not expand
// as expat does: such a part is theirs to read.
void Reader::on_doctype(void* self, const XML_Char* /*name*/, const XML_Char* /*system_id*/,
                        const XML_Char* /*public_id*/, int /*has_internal_subset*/)
{
    reader(self).failed_ = true;
}

// What no other handler takes; of that only the XML declaration matters.
// Expat reads the encodings it knows itself, but the needles are UTF-8 and
// the libraries' parser may read another declared encoding otherwise.
void Reader::on_other(void* self, const XML_Char* text, int length)
{
    Reader& r = reader(self);
    std::string_view piece(text, static_cast<std::size_t>(length));
    if (r.failed_ || r.root_seen_ || piece.substr(0, 5) != "<?xml"sv)
        return;
    if (!equal_ignoring_case(declared_encoding(piece), "UTF-8"sv))
        r.failed_ = true;
}

}  // namespace tw::content::xml_scan
