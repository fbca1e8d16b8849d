// Where the fields of CSV text are, as the csv module's reader finds them in
// its default dialect (comma, double quote, quotes doubled inside quotes,
// not strict) over a file opened with newline="": the csv module gives the
// cells but not where they are, and only changed fields are rewritten.
//
// The reader reads the file line by line (a line ends after LF, CR or
// CR LF, which stay in the line) and sees an end-of-line mark after each;
// the states below follow its states one for one.
#pragma once

#include <Python.h>

#include <vector>

namespace tw::content {

struct CsvField {
    Py_ssize_t start = 0, end = 0;  // the field in the text, its quotes included
    bool quoted = false;            // it began with a quote
    // Its cell is the text between start and end (inside the quotes, for a
    // quoted field); false when quotes were doubled, text followed the
    // closing quote, or the quote was never closed.
    bool plain = true;
    Py_ssize_t length = 0;          // characters in its cell
};

enum class CsvRead { done, stopped, field_too_large };

template <class Char>
class CsvReader {
public:
    CsvReader(const Char* text, Py_ssize_t length, Py_ssize_t field_limit)
        : text_(text), length_(length), limit_(field_limit)
    {
    }

    // Calls on_row(fields) for each row in order (a blank line is a row
    // without fields); it returns 0 to go on, non-zero to stop.
    template <class OnRow>
    CsvRead read(OnRow&& on_row)
    {
        for (Py_ssize_t i = 0; i < length_; ++i) {
            Char c = text_[i];
            if (!step(i, c))
                return CsvRead::field_too_large;
            bool line_ends = c == '\n' || (c == '\r' && (i + 1 == length_ || text_[i + 1] != '\n'));
            if (line_ends && end_of_line(i + 1) && on_row(fields_) != 0)
                return CsvRead::stopped;
        }
        if (length_ > 0 && text_[length_ - 1] != '\n' && text_[length_ - 1] != '\r' &&
            end_of_line(length_) && on_row(fields_) != 0)
            return CsvRead::stopped;
        if (state_ == State::in_quoted) {  // the file ended inside quotes
            field_.plain = false;
            save(length_);
            if (on_row(fields_) != 0)
                return CsvRead::stopped;
        }
        return CsvRead::done;
    }

private:
    enum class State { start_record, start_field, in_field, in_quoted, quote_in_quoted, eat_line_end };

    static bool is_line_end(Char c) { return c == '\n' || c == '\r'; }

    bool add()
    {
        if (field_.length >= limit_)
            return false;
        ++field_.length;
        return true;
    }

    void begin(Py_ssize_t at) { field_ = CsvField{at, at}; }

    void save(Py_ssize_t end)
    {
        field_.end = end;
        fields_.push_back(field_);
        field_ = CsvField{};
    }

    // One character; false when a cell grows past the limit.
    bool step(Py_ssize_t at, Char c)
    {
        switch (state_) {
        case State::start_record:
            fields_.clear();
            if (is_line_end(c)) {
                state_ = State::eat_line_end;
                return true;
            }
            [[fallthrough]];
        case State::start_field:
            begin(at);
            if (is_line_end(c) || c == ',') {
                save(at);
                state_ = c == ',' ? State::start_field : State::eat_line_end;
            } else if (c == '"') {
                field_.quoted = true;
                state_ = State::in_quoted;
            } else {
                state_ = State::in_field;
                return add();
            }
            return true;
        case State::in_field:
            if (is_line_end(c) || c == ',') {
                save(at);
                state_ = c == ',' ? State::start_field : State::eat_line_end;
                return true;
            }
            return add();
        case State::in_quoted:
            if (c == '"') {
                state_ = State::quote_in_quoted;
                return true;
            }
            return add();
        case State::quote_in_quoted:
            if (is_line_end(c) || c == ',') {
                save(at);
                state_ = c == ',' ? State::start_field : State::eat_line_end;
                return true;
            }
            // A doubled quote is one quote; anything else after the closing
            // quote is taken as it is.
            field_.plain = false;
            state_ = c == '"' ? State::in_quoted : State::in_field;
            return add();
        case State::eat_line_end:
            return true;  // only line ends can follow, since a line ends there
        }
        return true;
    }

    // The end-of-line mark after the line ending before `at`. True when a
    // row is complete.
    bool end_of_line(Py_ssize_t at)
    {
        switch (state_) {
        case State::in_quoted:
            return false;
        case State::start_record:
            fields_.clear();
            break;
        case State::start_field:
            begin(at);
            save(at);
            break;
        case State::in_field:
        case State::quote_in_quoted:
            save(at);
            break;
        case State::eat_line_end:
            break;
        }
        state_ = State::start_record;
        return true;
    }

    const Char* text_;
    Py_ssize_t length_;
    Py_ssize_t limit_;
    State state_ = State::start_record;
    CsvField field_;
    std::vector<CsvField> fields_;
};

}  // namespace tw::content
