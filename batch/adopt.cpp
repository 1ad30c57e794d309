// Taking over the segments of gone owners, when a durable client is made.
//
// Each file whose name is a segment's is opened and its lock tried: a live owner holds it
// (and so does a client of this process, or another adopter), so a locked file is left alone,
// and two clients never take the same segment. A taken one is read (never mapped: a file
// that someone else truncates cannot fault us), what checks goes into the buffer, and the file
// is removed once delivered. What does not check is counted in `corrupt` and skipped.
#include "batch/adopt.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "batch/engine.h"
#include "batch/gil.h"
#include "batch/segment.h"

namespace quorbel::batch {

namespace {

constexpr char kTemporarySuffix[] = ".tmp";
constexpr std::size_t kUsualSegmentBytes = (4 << 20) + kSegmentHead;

bool is_temporary_name(const char *name, std::size_t len) noexcept {
    const std::size_t suf = sizeof kTemporarySuffix - 1;
    return len > suf + 1 && name[0] == '.' &&
           std::memcmp(name + len - suf, kTemporarySuffix, suf) == 0 &&
           is_segment_name(name + 1, len - 1 - suf);
}

// A segment its maker did not finish (killed while making it): removed once unlocked.
void remove_unfinished(const std::string &path) noexcept {
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0)
        return;
    if (lock_segment(fd) == 0)
        ::unlink(path.c_str());
    ::close(fd);
}

// The names of the folder's segments, sorted (oldest first), as bytes; an empty Ref with an
// exception set.
Ref segment_names(const std::string &dir) noexcept {
    Ref names = Ref::steal(PyList_New(0));
    if (!names)
        return {};
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, dir.c_str());
        return {};
    }
    for (;;) {
        errno = 0;
        const dirent *entry = readdir(d);
        if (entry == nullptr)
            break;
        const std::size_t len = std::strlen(entry->d_name);
        if (is_temporary_name(entry->d_name, len)) {
            remove_unfinished(dir + "/" + entry->d_name);
            continue;
        }
        if (!is_segment_name(entry->d_name, len))
            continue;
        Ref name =
            Ref::steal(PyBytes_FromStringAndSize(entry->d_name, static_cast<Py_ssize_t>(len)));
        if (!name || PyList_Append(names.get(), name.get()) < 0) {
            closedir(d);
            return {};
        }
    }
    const int err = errno;
    closedir(d);
    if (err != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, dir.c_str());
        return {};
    }
    if (PyList_Sort(names.get()) < 0)
        return {};
    return names;
}

} // namespace

int adopt_segments(Engine &e) noexcept {
    Spool &spool = *e.spool;
    Ref names = segment_names(spool.dir());
    if (!names)
        return -1;
    const Py_ssize_t n = PyList_Size(names.get());
    std::size_t taken_bytes = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        char *name = PyBytes_AsString(PyList_GetItem(names.get(), i));
        if (name == nullptr)
            return -1;
        const std::string path = spool.dir() + "/" + name;
        // As much as the client's own spool may hold, and the first one even if larger than
        // that, up to the size of a segment the folder's clients usually make.
        const std::size_t room = taken_bytes == 0 ? std::max(spool.limit(), kUsualSegmentBytes)
                                 : taken_bytes < spool.limit() ? spool.limit() - taken_bytes
                                                               : 0;
        if (room == 0)
            break;
        Claimed got;
        int fd = -1;
        Claim claim;
        Py_BEGIN_ALLOW_THREADS
        claim = claim_segment(path, room, &fd, got);
        Py_END_ALLOW_THREADS
        LockedWithGil lock(e.buffer.mutex);
        spool.corrupt += got.corrupt;
        if (claim != Claim::Taken)
            continue;
        taken_bytes += got.bytes;
        Chunk *c = got.chunk;
        if (c != nullptr && spool.adopted_chunk(c, got.slots, fd, path) == nullptr) {
            std::free(c);
            std::free(got.slots);
            c = nullptr;
            ::close(fd);
            continue; // out of memory: left for later
        }
        if (c == nullptr) {
            // Nothing undelivered (or nothing that checks): the segment is done with.
            ::unlink(path.c_str());
            ::close(fd);
            continue;
        }
        e.buffer.adopt(c, got.maybe_sent);
    }
    return 0;
}

} // namespace quorbel::batch
