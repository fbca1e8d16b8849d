#include "content/docx_binding.h"

#include "platform/core/ascii.h"
#include "py/names.h"

#include <algorithm>
#include <string_view>

namespace tw::content {

namespace {

constexpr py::Id W_DATA_BINDING = TW_W_NS "dataBinding"_id;
constexpr py::Id W_STORE = TW_W_NS "storeItemID"_id;
constexpr py::Id W_XPATH = TW_W_NS "xpath"_id;
constexpr py::Id W_PREFIXES = TW_W_NS "prefixMappings"_id;
constexpr py::Id DS_ITEM_ID = "{http://schemas.openxmlformats.org/officeDocument/2006/customXml}itemID"_id;

constexpr std::string_view kRelationships = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
// The stores Word gives the document's own properties.
constexpr std::string_view kCoreStore = "{6C3C8BC8-F283-45AE-878A-BAB7291924A1}";
constexpr std::string_view kExtendedStore = "{6668398D-A668-4E3E-A5EB-62B293D839F1}";
constexpr std::string_view kCoreType =
    "http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties";

// w:prefixMappings, "xmlns:ns0='uri' xmlns:ns1='uri'", as a dict for
// lxml's xpath; None when it is not written that way.
py::Ref prefix_mappings(const std::string& text)
{
    py::Ref out = py::Ref::steal(PyDict_New());
    std::size_t at = 0;
    while (out) {
        at = text.find_first_not_of(" \t\r\n", at);
        if (at == std::string::npos)
            return out;
        std::size_t equals = text.find('=', at);
        if (text.compare(at, 6, "xmlns:") != 0 || equals == std::string::npos || equals + 1 >= text.size())
            return py::none();
        char quote = text[equals + 1];
        std::size_t end = text.find(quote, equals + 2);
        if ((quote != '\'' && quote != '"') || end == std::string::npos)
            return py::none();
        py::Ref prefix = py::str_from_utf8(std::string_view(text).substr(at + 6, equals - at - 6));
        py::Ref uri = prefix ? py::str_from_utf8(std::string_view(text).substr(equals + 2, end - equals - 2)) : py::Ref();
        if (!uri || PyDict_SetItem(out.get(), prefix.get(), uri.get()) < 0)
            return {};
        at = end + 1;
    }
    return out;
}

// An ordinary error of the data (a part that does not parse, an XPath
// lxml refuses) means the binding cannot be followed: 0 with nothing
// pending. Running out of memory and interrupts go on: -1.
int not_followed()
{
    if (PyErr_ExceptionMatches(PyExc_MemoryError) || !PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- the controls

// The text a control shows when it holds only text: its runs, or its
// paragraphs joined by "\n"; None when it holds tables, rows or cells.
py::Ref DataBindings::plain_text(PyObject* content)
{
    std::vector<py::Ref> children;
    if (xml::children(content, children) < 0)
        return {};
    py::Ref texts = py::Ref::steal(PyList_New(0));
    bool inline_content = true;
    for (const py::Ref& child : children) {
        int kind = xml::tag_index(child.get(), {W_P, W_TBL, W_TR, W_TC, W_SDT});
        if (kind < 0 || !texts)
            return {};
        if (kind >= 1 && kind <= 3)
            return py::none();
        if (kind != 0)
            continue;
        inline_content = false;
        py::Ref text = editor_.text_of(child.get(), nullptr);
        if (!text || PyList_Append(texts.get(), text.get()) < 0)
            return {};
    }
    if (inline_content)
        return editor_.text_of(content, nullptr);
    py::Ref separator = py::Ref::steal(PyUnicode_FromString("\n"));
    return separator ? py::Ref::steal(PyUnicode_Join(separator.get(), texts.get())) : py::Ref();
}

py::Ref DataBindings::snapshot(PyObject* content)
{
    return py::call_method(content, "xpath"_id, "string()"_id);
}

int DataBindings::note(PyObject* root)
{
    py::Ref found = py::call_method(root, "iter"_id, W_SDT);
    std::vector<py::Ref> controls;
    if (!found || xml::children(found.get(), controls) < 0)
        return -1;
    for (const py::Ref& sdt : controls) {
        py::Ref properties = xml::find(sdt.get(), W_SDT_PR);
        py::Ref binding = properties && properties.get() != Py_None ? xml::find(properties.get(), W_DATA_BINDING)
                                                                    : properties;
        py::Ref content = binding ? xml::find(sdt.get(), W_SDT_CONTENT) : py::Ref();
        if (!content)
            return -1;
        if (binding.get() == Py_None || content.get() == Py_None)
            continue;
        Control control{sdt, content, binding, plain_text(content.get()), snapshot(content.get())};
        if (!control.shown || !control.snapshot)
            return -1;
        controls_.push_back(std::move(control));
    }
    return 0;
}

int DataBindings::unresolved(const Control& control, const char* why)
{
    py::Ref name = py::none();
    for (py::Id tag : {TW_W_NS "alias"_id, TW_W_NS "tag"_id, TW_W_NS "id"_id}) {
        py::Ref properties = xml::find(control.sdt.get(), W_SDT_PR);
        py::Ref element = properties ? xml::find(properties.get(), tag) : py::Ref();
        name = element && element.get() != Py_None ? xml::attribute(element.get(), W_VAL) : element;
        if (!name)
            return -1;
        if (name.get() != Py_None)
            break;
    }
    PyErr_Format(PyExc_ValueError,
                 "the content control %R shows data it is bound to, and %s: its text would come back "
                 "when the document is opened, so the document is left as it was",
                 name.get(), why);
    return -1;
}

// ---------------------------------------------------------------- the data

int DataBindings::open_store(PyObject* part, Store& out)
{
    out.part = py::Ref::borrow(part);
    out.root = py::getattr(part, "element"_id);
    if (out.root)
        return 0;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    PyErr_Clear();
    out.parsed = true;
    py::Ref blob = py::getattr(part, "blob"_id);
    int parsed = blob ? xml::parse_part(xml_, blob.get(), out.root) : -1;
    if (parsed != 0) {
        out.root = py::Ref();
        return parsed < 0 ? not_followed() : 0;
    }
    return 0;
}

// The custom XML part whose properties give it the item id `id`; none
// when no part or more than one does.
int DataBindings::custom_store(PyObject* doc, const std::string& id, Store*& store)
{
    py::Ref document = py::getattr(doc, "part"_id);
    std::vector<py::Ref> items, found;
    if (!document || related_parts(document.get(), std::string(kRelationships) + "customXml", items) < 0)
        return -1;
    for (const py::Ref& item : items) {
        std::vector<py::Ref> properties;
        if (related_parts(item.get(), std::string(kRelationships) + "customXmlProps", properties) < 0)
            return -1;
        for (const py::Ref& each : properties) {
            Store props;
            std::string item_id;
            int has = open_store(each.get(), props) < 0 ? -1 : !props.root ? 0
                      : xml::attribute_text(props.root.get(), DS_ITEM_ID, item_id);
            if (has < 0)
                return -1;
            if (has > 0 && platform::native::ascii_uppered(item_id) == id)
                found.push_back(item);
        }
    }
    return found.size() == 1 ? open_store(found[0].get(), *store) : 0;
}

int DataBindings::find_store(PyObject* doc, const std::string& id, Store*& store)
{
    auto known = stores_.find(id);
    if (known != stores_.end()) {
        store = &known->second;
        return 0;
    }
    store = &stores_[id];
    if (id != kCoreStore && id != kExtendedStore)
        return custom_store(doc, id, store);
    py::Ref document = py::getattr(doc, "part"_id);
    py::Ref package = document ? py::getattr(document.get(), "package"_id) : py::Ref();
    std::vector<py::Ref> parts;
    std::string type = id == kCoreStore ? std::string(kCoreType) : std::string(kRelationships) + "extended-properties";
    if (!package || related_parts(package.get(), type, parts) < 0)
        return -1;
    return parts.size() == 1 ? open_store(parts[0].get(), *store) : 0;
}

// The one element the binding's XPath selects in its store, an element
// with no children; `node` stays empty when there is none such.
int DataBindings::find_node(PyObject* doc, const Control& control, Store*& store, py::Ref& node)
{
    std::string id, path, prefixes;
    int has_id = xml::attribute_text(control.binding.get(), W_STORE, id);
    int has_path = has_id > 0 ? xml::attribute_text(control.binding.get(), W_XPATH, path) : has_id;
    int has_prefixes = has_path > 0 ? xml::attribute_text(control.binding.get(), W_PREFIXES, prefixes) : has_path;
    if (has_prefixes < 0 || (has_path > 0 && find_store(doc, platform::native::ascii_uppered(id), store) < 0))
        return -1;
    if (has_path == 0 || !store->root)
        return 0;
    py::Ref namespaces = prefix_mappings(prefixes);
    if (!namespaces || namespaces.get() == Py_None)
        return namespaces ? 0 : -1;
    // etree.XPath, not the element's own xpath, which the library's
    // elements replace with one that knows only the library's prefixes.
    py::Ref compile = py::getattr(xml_.etree.get(), "XPath"_id);
    py::Ref expression = compile ? py::str_from_utf8(path) : py::Ref();
    if (!expression)
        return -1;
    py::Ref xpath = py::call_kw(compile.get(), {expression}, {{"namespaces"_id, namespaces}});
    py::Ref found = xpath ? py::call(xpath.get(), store->root) : py::Ref();
    if (!found)
        return not_followed();
    py::Ref element_type = py::getattr(xml_.etree.get(), "_Element"_id);
    if (!element_type)
        return -1;
    if (!PyList_Check(found.get()) || PyList_GET_SIZE(found.get()) != 1)
        return 0;
    PyObject* item = PyList_GET_ITEM(found.get(), 0);
    xml::ElementName name;
    int element = PyObject_IsInstance(item, element_type.get());
    element = element > 0 ? xml::element_name(item, name) : element;
    Py_ssize_t children = element > 0 ? PyObject_Length(item) : 0;
    if (element < 0 || children < 0)
        return -1;
    if (element > 0 && children == 0)
        node = py::Ref::borrow(item);
    return 0;
}

// One control whose text changed: its node must hold the text it showed
// before, and takes the text it shows now.
int DataBindings::update(PyObject* doc, const Control& control)
{
    if (control.shown.get() == Py_None)
        return unresolved(control, "its text changed where it holds more than text");
    py::Ref now = plain_text(control.content.get());
    Store* store = nullptr;
    py::Ref node;
    if (!now || find_node(doc, control, store, node) < 0)
        return -1;
    if (!node)
        return unresolved(control, "that data cannot be found with certainty");
    // A node that another control changed already: both must have shown,
    // and now show, the same text.
    auto known = std::find_if(assigned_.begin(), assigned_.end(),
                              [&](const Assigned& each) { return each.node.get() == node.get(); });
    py::Ref stored = known != assigned_.end() ? known->original : xml::node_text(node.get());
    int same = stored ? py::equals(stored.get(), control.shown.get()) : -1;
    if (same <= 0)
        return same < 0 ? -1 : unresolved(control, "that data is not the text it showed");
    if (known != assigned_.end()) {
        int agrees = py::equals(known->given.get(), now.get());
        if (agrees == 0)
            return unresolved(control, "another control bound to it shows another text");
        return agrees < 0 ? -1 : 0;
    }
    assigned_.push_back({node, stored, now});
    store->changed = true;
    return xml::set_node_text(node.get(), now.get());
}

int DataBindings::settle(PyObject* doc, ChangedParts& changed)
{
    for (const Control& control : controls_) {
        py::Ref now = snapshot(control.content.get());
        int same = now ? py::equals(now.get(), control.snapshot.get()) : -1;
        if (same < 0 || (same == 0 && update(doc, control) < 0))
            return -1;
    }
    for (auto& [id, store] : stores_) {
        if (!store.changed)
            continue;
        py::Ref data = store.parsed ? xml::serialize(xml_, store.root.get()) : py::none();
        if (!data || (store.parsed && py::setattr(store.part.get(), "_blob"_id, data.get()) < 0) ||
            changed.add(store.part.get()) < 0)
            return -1;
    }
    return 0;
}

}  // namespace tw::content
