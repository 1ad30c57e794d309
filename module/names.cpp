// Interned Python strings, registered by their declarations and interned at the first import.
#include "module/names.h"

#include "module/vectorcall.h"

namespace quorbel::module {

namespace {
// Constant-initialised, so they are valid before any declaration's constructor runs.
const Name *first_name = nullptr;
const NameTuple *first_tuple = nullptr;
} // namespace

Name::Name(const char *text) noexcept : text_(text), next_(first_name) { first_name = this; }

const NameTuple *NameTuple::link(const NameTuple *self) noexcept {
    const NameTuple *old = first_tuple;
    first_tuple = self;
    return old;
}

int init_names() noexcept {
    for (const Name *n = first_name; n != nullptr; n = n->next_) {
        if (n->object_ != nullptr)
            continue;
        PyObject *s = PyUnicode_InternFromString(n->text_);
        if (s == nullptr)
            return -1;
        n->object_ = s;
    }
    for (const NameTuple *t = first_tuple; t != nullptr; t = t->next_) {
        if (t->object_ != nullptr)
            continue;
        PyObject *items[NameTuple::kMax];
        for (int i = 0; i < t->count_; ++i)
            items[i] = *t->items_[i];
        Ref tuple = make_tuple(items, t->count_);
        if (!tuple)
            return -1;
        t->object_ = tuple.release();
    }
    return 0;
}

} // namespace quorbel::module
