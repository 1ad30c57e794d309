// The encoder's output bytes: a growable buffer with unchecked writers behind one reserve.
#pragma once

#include <cstring>

#include "module/ref.h"

namespace quorbel::handler {

// Inline storage holds the common payload, so a record usually allocates nothing here; PyMem
// takes over beyond it. The text is decoded into a str once, at the end.
class Buffer {
  public:
    Buffer() noexcept = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (data_ != inline_)
            PyMem_Free(data_);
    }

    // Makes room for n more bytes; false with MemoryError set when that fails.
    bool reserve(Py_ssize_t n) noexcept { return cap_ - len_ >= n || grow(n); }
    // The unchecked writers need a reserve() that covered them.
    void put(char c) noexcept { data_[len_++] = c; }
    void put(const char *p, Py_ssize_t n) noexcept {
        memcpy(data_ + len_, p, static_cast<size_t>(n));
        len_ += n;
    }
    bool append(const char *p, Py_ssize_t n) noexcept {
        if (!reserve(n))
            return false;
        put(p, n);
        return true;
    }
    template <size_t N> bool append(const char (&literal)[N]) noexcept {
        return append(literal, static_cast<Py_ssize_t>(N - 1));
    }

    // Direct writes into reserved room through a local cursor (stores through char* could
    // otherwise alias len_ and force a reload per byte): tail() is where they start, commit()
    // where they ended.
    char *tail() noexcept { return data_ + len_; }
    void commit(char *end) noexcept { len_ = end - data_; }

    const char *data() const noexcept { return data_; }
    Py_ssize_t size() const noexcept { return len_; }

  private:
    bool grow(Py_ssize_t n) noexcept;

    char inline_[4096];
    char *data_ = inline_;
    Py_ssize_t len_ = 0;
    Py_ssize_t cap_ = sizeof(inline_);
};

// The text as a new str. It is valid UTF-8 by construction; ascii says it is pure ASCII, which
// takes the decoder's cheapest road.
Ref decode(const Buffer &out, bool ascii) noexcept;

} // namespace quorbel::handler
