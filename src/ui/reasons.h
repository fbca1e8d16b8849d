// Why something could not be done, in the user's words. One table turns the
// errors people meet (text that does not decode, a name that is taken, a
// damaged document...) into the Chinese reason the window shows; the
// original message goes beneath it, for support.
#pragma once

#include "py/ref.h"

namespace tw::ui {

// The reason for `error` in Chinese: "没有权限", "名称已被占用"... and
// "未能完成" for an error the table does not know. Empty with the exception
// set only when the interpreter fails (memory).
py::Ref reason_text(PyObject* error);

// The error as the program met it: its type and message, cut to `width`
// characters when `width` is positive ("UnicodeDecodeError: 'utf-8' codec...").
py::Ref original_text(PyObject* error, Py_ssize_t width = 0);

// A bad old keyword or new keyword (re.error) said in Chinese, its position
// counted in the keyword as the user typed it: "旧关键字有误（第 3 个字符“?”
// 处）：…". `old_keyword` and `new_keyword` are what the user typed. Empty
// with no exception set when `error` is not about either keyword; empty with
// the exception set on failure.
py::Ref keyword_problem(PyObject* error, PyObject* old_keyword, PyObject* new_keyword);

}  // namespace tw::ui
