// The encoder's output bytes: growth beyond the inline storage, and the final decode.
#include "handler/json_buffer.h"

namespace quorbel::handler {

bool Buffer::grow(Py_ssize_t n) noexcept {
    if (n > PY_SSIZE_T_MAX - len_) {
        PyErr_NoMemory();
        return false;
    }
    Py_ssize_t cap = cap_;
    while (cap - len_ < n)
        cap = cap > PY_SSIZE_T_MAX / 2 ? PY_SSIZE_T_MAX : cap * 2;
    char *p;
    if (data_ == inline_) {
        p = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(cap)));
        if (p)
            memcpy(p, inline_, static_cast<size_t>(len_));
    } else {
        p = static_cast<char *>(PyMem_Realloc(data_, static_cast<size_t>(cap)));
    }
    if (!p) {
        PyErr_NoMemory();
        return false;
    }
    data_ = p;
    cap_ = cap;
    return true;
}

Ref decode(const Buffer &out, bool ascii) noexcept {
    // ASCII reads the same as Latin-1, whose decoder only copies.
    if (ascii)
        return Ref::steal(PyUnicode_DecodeLatin1(out.data(), out.size(), nullptr));
    return Ref::steal(PyUnicode_DecodeUTF8(out.data(), out.size(), nullptr));
}

} // namespace quorbel::handler
