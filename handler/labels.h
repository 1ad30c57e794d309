// Label merging: _merge_labels, and the merged labels of one record.
#pragma once

#include "module/binder.h"

namespace quorbel::handler {

// The labels of one record after the merge. When the module's own merge ran on plain input
// (exact dicts of str keys, with str, int or None values) they are kept as its entries, so the
// common record builds no dict; otherwise they are the object the merge returned. Either way
// they stand for the same dict.
class MergedLabels {
  public:
    // Beyond this many entries the merge builds its dict.
    static constexpr int kMaxEntries = 16;

    // key and text are references of the MergedLabels' own.
    struct Entry {
        PyObject *key;    // an exact str
        PyObject *text;   // the value, an exact str; nullptr for an int value, which is
        long long number; // kept as this number until its text is written
        Py_hash_t hash;
    };

    MergedLabels() noexcept = default;
    MergedLabels(const MergedLabels &) = delete;
    MergedLabels &operator=(const MergedLabels &) = delete;
    ~MergedLabels() { clear(); }

    // The merge's result as an object (a new dict of the entries, unless the merge returned
    // one), for code that needs the dict itself. Empty with an exception set on failure.
    Ref object() const noexcept;

    // Set when the merge returned an object; the entries are unused then.
    PyObject *returned() const noexcept { return object_.get(); }
    const Entry *begin() const noexcept { return entries_; }
    const Entry *end() const noexcept { return entries_ + size_; }

  private:
    friend int merge_labels(PyObject *base, PyObject *extra, MergedLabels *out) noexcept;
    int add_plain(PyObject *src) noexcept;
    void clear() noexcept;
    Ref object_;
    Entry entries_[kMaxEntries]; // the first size_ are set
    int size_ = 0;
};

// _merge_labels: builds the callable.
Ref make_merge_labels() noexcept;

// What the module's `_merge_labels(base, extra)` returns, as emit calls it: natively while it is
// still ours. Returns -1 with an exception set on failure.
int merge_labels(PyObject *base, PyObject *extra, MergedLabels *out) noexcept;

} // namespace quorbel::handler
