#include "ui/reasons.h"

#include "keyword/keyword.h"
#include "ui/toolkit.h"

#include <cerrno>
#include <cstring>

namespace tw::ui {

namespace {

// What an error must be for a reason to apply; every field given must hold.
struct ReasonRule {
    const char* type_name = nullptr;      // a class among the error's bases
    int error_code = 0;                   // OSError.errno
    int windows_code = 0;                 // OSError.winerror (Windows only)
    const char* message_part = nullptr;   // found in str(error)
    const char* reason = nullptr;
};

// In order: the first rule that holds gives the reason. Windows codes come
// before errno codes, since Windows reports a file in use as EACCES.
const ReasonRule g_rules[] = {
    {.type_name = "UnicodeDecodeError", .reason = "不是 UTF-8、UTF-16 或 GBK 文本"},
    {.type_name = "TimeoutError", .reason = "匹配超时"},
    {.type_name = "StoppedMidItem", .reason = "已取消（匹配进行中时停止，文件未修改）"},
    {.type_name = "PermissionError", .message_part = "outside the chosen folder",
     .reason = "路径在所选文件夹之外"},
    {.type_name = "ValueError", .message_part = "refusing to open",
     .reason = "文档过大或结构异常，为安全起见没有打开"},
    {.type_name = "ValueError", .message_part = "cannot rename", .reason = "新名称无效"},
    {.windows_code = 32, .reason = "文件正被其他程序使用"},   // ERROR_SHARING_VIOLATION
    {.windows_code = 33, .reason = "文件正被其他程序使用"},   // ERROR_LOCK_VIOLATION
    {.windows_code = 112, .reason = "磁盘空间不足"},          // ERROR_DISK_FULL
    {.windows_code = 206, .reason = "名称太长"},              // ERROR_FILENAME_EXCED_RANGE
    {.windows_code = 123, .reason = "文件系统不接受这个名称"},  // ERROR_INVALID_NAME
    {.error_code = ENOSPC, .reason = "磁盘空间不足"},
#ifdef EDQUOT
    {.error_code = EDQUOT, .reason = "磁盘空间不足（超出配额）"},
#endif
    {.error_code = ENAMETOOLONG, .reason = "名称太长"},
    {.error_code = EILSEQ, .reason = "文件系统不接受这个名称"},
    {.error_code = EBUSY, .reason = "文件正被其他程序使用"},
#ifdef ETXTBSY
    {.error_code = ETXTBSY, .reason = "文件正被其他程序使用"},
#endif
    {.error_code = EEXIST, .reason = "名称已被占用"},
    {.error_code = ENOTEMPTY, .reason = "名称已被占用"},
    {.error_code = ENOTDIR, .reason = "不是文件夹"},
    {.error_code = EISDIR, .reason = "是文件夹，不是文件"},
    {.error_code = ENOENT, .reason = "文件或文件夹不存在"},
    {.error_code = EACCES, .reason = "没有权限"},
    {.error_code = EPERM, .reason = "没有权限"},
    {.error_code = EROFS, .reason = "磁盘是只读的"},
    {.type_name = "PackageNotFoundError", .reason = "文档已损坏或已加密"},
    {.type_name = "BadZipFile", .reason = "文档已损坏或已加密"},
    {.type_name = "InvalidFileException", .reason = "文档已损坏或已加密"},
    {.type_name = "XMLSyntaxError", .reason = "文档已损坏或已加密"},
    {.type_name = "ParseError", .reason = "文档已损坏或已加密"},
    {.type_name = "ExpatError", .reason = "文档已损坏或已加密"},
    {.type_name = "KeyError", .message_part = "There is no item named",
     .reason = "文档已损坏或已加密"},
    {.type_name = "error", .message_part = "at position", .reason = "关键字有误"},
    {.type_name = "MemoryError", .reason = "内存不足"},
};

// Drops an ordinary error met while looking at another; an interrupt stays.
int drop_ordinary_error()
{
    if (!PyErr_ExceptionMatches(PyExc_Exception))
        return -1;
    PyErr_Clear();
    return 0;
}

// 1 when a class named `name` is among the error's bases, 0 if not.
int has_base_named(PyObject* error, const char* name)
{
    PyObject* mro = Py_TYPE(error)->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        const char* full = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_name;
        const char* dot = std::strrchr(full, '.');
        if (std::strcmp(dot ? dot + 1 : full, name) == 0)
            return 1;
    }
    return 0;
}

// An OSError's errno or winerror; 0 when it has none (or is no OSError).
long os_code(PyObject* error, py::Id attribute)
{
    if (!PyObject_TypeCheck(error, reinterpret_cast<PyTypeObject*>(PyExc_OSError)))
        return 0;
    py::Ref code = py::getattr(error, attribute);
    long value = code && PyLong_Check(code.get()) ? PyLong_AsLong(code.get()) : 0;
    if (PyErr_Occurred())
        PyErr_Clear();
    return value == -1 ? 0 : value;
}

// 1 when the rule holds for the error, 0 if not, -1 with the exception set.
int holds(const ReasonRule& rule, PyObject* error, PyObject* message)
{
    if (rule.type_name && !has_base_named(error, rule.type_name))
        return 0;
    if (rule.error_code && os_code(error, "errno"_id) != rule.error_code)
        return 0;
    if (rule.windows_code && os_code(error, "winerror"_id) != rule.windows_code)
        return 0;
    if (!rule.message_part)
        return 1;
    if (!message)
        return 0;
    py::Ref part = py::Ref::steal(PyUnicode_FromString(rule.message_part));
    return part ? PyUnicode_Contains(message, part.get()) : -1;
}

py::Ref message_of(PyObject* error)
{
    py::Ref text = py::Ref::steal(PyObject_Str(error));
    if (!text && drop_ordinary_error() < 0)
        return {};
    return text ? text : py::Ref::borrow(""_id.get());
}

}  // namespace

py::Ref reason_text(PyObject* error)
{
    py::Ref message = message_of(error);
    if (!message)
        return {};
    for (const ReasonRule& rule : g_rules) {
        int hit = holds(rule, error, message.get());
        if (hit < 0)
            return {};
        if (hit)
            return py::Ref::steal(PyUnicode_FromString(rule.reason));
    }
    return py::Ref::borrow("未能完成"_id.get());
}

py::Ref original_text(PyObject* error, Py_ssize_t width)
{
    py::Ref message = message_of(error);
    py::Ref type_name = message ? py::Ref::steal(PyType_GetName(Py_TYPE(error))) : py::Ref();
    if (!type_name)
        return {};
    py::Ref text = PyUnicode_GET_LENGTH(message.get()) == 0
        ? type_name
        : py::Ref::steal(PyUnicode_FromFormat("%U: %U", type_name.get(), message.get()));
    if (!text || width <= 0 || PyUnicode_GET_LENGTH(text.get()) <= width)
        return text;
    py::Ref cut = py::Ref::steal(PyUnicode_Substring(text.get(), 0, width - 1));
    return cut ? format_text("%s…"_id, py::Ref::steal(PyTuple_Pack(1, cut.get()))) : py::Ref();
}

}  // namespace tw::ui

// ---- bad keywords ------------------------------------------------------------------

namespace tw::ui {

namespace {

// The expression engine's words for what is wrong, in the user's words.
struct PatternWords {
    const char* english_start;
    const char* chinese;
};

const PatternWords g_pattern_words[] = {
    {"missing ), unterminated subpattern", "“(” 没有配对的 “)”"},
    {"unbalanced parenthesis", "多了一个 “)”"},
    {"nothing to repeat", "“*”“+”“?” 或 “{…}” 前面没有可以重复的内容"},
    {"multiple repeat", "重复符号不能连用"},
    {"unterminated character set", "“[” 没有配对的 “]”"},
    {"bad escape", "反斜杠 “\\” 后面的字符无效"},
    {"bad character range", "字符范围无效"},
    {"invalid group reference", "引用了不存在的分组"},
    {"unknown group name", "引用了不存在的分组名"},
    {"missing group name", "缺少分组名"},
    {"bad character in group name", "分组名中有无效字符"},
    {"look-behind requires fixed-width pattern", "后向断言 “(?<=…)” 必须是固定长度"},
    {"unknown extension", "不认识的 “(?…)” 写法"},
    {"global flags not at the start", "全局标志 “(?…)” 必须放在开头"},
};

py::Ref pattern_words(PyObject* error)
{
    py::Ref message = py::getattr(error, "msg"_id);
    if (!message && drop_ordinary_error() < 0)
        return {};
    const char* english = message && PyUnicode_Check(message.get())
        ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (!english && PyErr_Occurred() && drop_ordinary_error() < 0)
        return {};
    for (const PatternWords& words : g_pattern_words) {
        if (english && std::strncmp(english, words.english_start, std::strlen(words.english_start)) == 0)
            return py::Ref::steal(PyUnicode_FromString(words.chinese));
    }
    return py::Ref::borrow("表达式写法有误"_id.get());
}

// Where the engine's position falls in the keyword as typed, each `*` of
// which the engine saw as `.*?`: the index of the typed character, or the
// keyword's length for its end.
Py_ssize_t typed_index(PyObject* typed, Py_ssize_t engine_position, bool stars_expanded)
{
    Py_ssize_t length = PyUnicode_GET_LENGTH(typed), seen = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        seen += stars_expanded && PyUnicode_READ_CHAR(typed, i) == '*' ? 3 : 1;
        if (engine_position < seen)
            return i;
    }
    return length;
}

// 1 when `engine_text` is `typed` as the engine saw it (the converted
// keyword, perhaps after a prefix such as inline flags), with `offset` set to
// that prefix's length; 0 if not; -1.
int seen_as(PyObject* engine_text, PyObject* typed, bool stars_expanded, Py_ssize_t& offset)
{
    py::Ref converted = stars_expanded ? keyword::convert_to_regex(typed) : py::Ref::borrow(typed);
    if (!converted)
        return -1;
    Py_ssize_t whole = PyUnicode_GET_LENGTH(engine_text);
    Py_ssize_t part = PyUnicode_GET_LENGTH(converted.get());
    if (part > whole)
        return 0;
    Py_ssize_t tail = PyUnicode_Tailmatch(engine_text, converted.get(), 0, whole, 1);
    offset = whole - part;
    return static_cast<int>(tail);
}

// "（第 3 个字符“?”处）", or "（在末尾）".
py::Ref place_text(PyObject* typed, Py_ssize_t index)
{
    if (index >= PyUnicode_GET_LENGTH(typed))
        return py::Ref::borrow("（在末尾）"_id.get());
    py::Ref character = py::Ref::steal(PyUnicode_Substring(typed, index, index + 1));
    py::Ref number = character ? py::Ref::steal(PyLong_FromSsize_t(index + 1)) : py::Ref();
    return number ? format_text("（第 %d 个字符“%s”处）"_id,
                                py::Ref::steal(PyTuple_Pack(2, number.get(), character.get())))
                  : py::Ref();
}

// Which keyword the engine's text is, and where in it the position falls.
// 1 with `which` and `place` set, 0 when it is neither, -1.
int locate(PyObject* error, PyObject* old_keyword, PyObject* new_keyword, py::Id& which,
           py::Ref& place)
{
    py::Ref engine_text = py::getattr(error, "pattern"_id);
    py::Ref position = engine_text ? py::getattr(error, "pos"_id) : py::Ref();
    if (!position)
        return drop_ordinary_error() < 0 ? -1 : 0;
    if (!PyUnicode_Check(engine_text.get()) || !PyLong_Check(position.get()))
        return 0;
    Py_ssize_t at = PyLong_AsSsize_t(position.get());
    if (at < 0)
        return PyErr_Occurred() ? drop_ordinary_error() : 0;
    struct Candidate { PyObject* typed; bool stars; py::Id name; };
    // The whole text first: a keyword that only ends the other is a poorer guess.
    for (bool whole : {true, false}) {
        for (Candidate candidate : {Candidate{old_keyword, true, "旧关键字"_id},
                                    Candidate{new_keyword, false, "新关键字"_id}}) {
            if (!candidate.typed || !PyUnicode_Check(candidate.typed))
                continue;
            Py_ssize_t offset = 0;
            int seen = seen_as(engine_text.get(), candidate.typed, candidate.stars, offset);
            if (seen < 0)
                return -1;
            if (seen && at >= offset && (offset == 0 || !whole)) {
                which = candidate.name;
                place = place_text(candidate.typed, typed_index(candidate.typed, at - offset,
                                                               candidate.stars));
                return place ? 1 : -1;
            }
        }
    }
    return 0;
}

}  // namespace

py::Ref keyword_problem(PyObject* error, PyObject* old_keyword, PyObject* new_keyword)
{
    py::Ref re = py::Ref::steal(PyImport_ImportModule("re"));
    py::Ref re_error = re ? py::getattr(re.get(), "error"_id) : py::Ref();
    if (!re_error)
        return {};
    if (!PyErr_GivenExceptionMatches(error, re_error.get()))
        return {};
    py::Ref words = pattern_words(error);
    if (!words)
        return {};
    py::Id which = "关键字"_id;
    py::Ref place = py::Ref::borrow(""_id.get());
    if (locate(error, old_keyword, new_keyword, which, place) < 0)
        return {};
    return format_text("%s有误%s：%s"_id, py::Ref::steal(PyTuple_Pack(3, which.get(), place.get(),
                                                                    words.get())));
}

}  // namespace tw::ui
