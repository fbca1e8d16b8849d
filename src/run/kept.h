// What a plan decided about each file whose content it read, kept for the
// run that follows its preview, so that a file not changed in between is
// not read and matched a second time.
//
// A decision holds only while the file is the one decided: same device,
// inode, size, modification and change times (run::write_signature). The
// run compares them before it takes a decision; any difference, and it
// decides afresh. The decided write of a changed file holds its new text,
// so only writes up to a memory budget are kept; beyond it the run still
// knows that the file changes, and decides it again.
#pragma once

#include "py/ref.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace tw::run {

enum class Verdict {
    unchanged,  // no match: left as it is
    binary,     // passed over by the plain-text handler's binary rule
    change,     // rewritten; `write` does it when it was kept
};

struct KeptDecision {
    py::Ref signature;  // the file's write_signature when it was decided
    Verdict verdict = Verdict::unchanged;
    std::function<int()> write;  // change: the decided write, or empty
};

class KeptDecisions {
public:
    // New text a plan may hold for its run, in bytes of the files it comes from.
    static constexpr std::uint64_t kWriteBudget = 64u << 20;

    KeptDecisions() = default;
    KeptDecisions(const KeptDecisions&) = delete;
    KeptDecisions& operator=(const KeptDecisions&) = delete;

    // Keeps what was decided for the file at `path`, which `stat_result`
    // (os.stat, through links) described before it was read. `write` is
    // dropped beyond the budget. 0, or -1 with the exception set.
    int keep(PyObject* path, PyObject* stat_result, Verdict verdict, std::function<int()> write = {});

    // The decision for `path` when the file `stat_result` describes is still
    // the one decided; null with nothing set when there is none or it no
    // longer holds, null with the exception set on an error.
    const KeptDecision* find(PyObject* path, PyObject* stat_result);

    std::size_t size() const { return decisions_.size(); }
    // How many find() calls found a decision that still held.
    std::size_t taken() const { return taken_; }
    // Drops every decision (with the interpreter's lock held).
    void clear();

private:
    py::Ref index_;  // path -> position in decisions_
    std::vector<KeptDecision> decisions_;
    std::uint64_t write_bytes_ = 0;
    std::size_t taken_ = 0;
};

}  // namespace tw::run
