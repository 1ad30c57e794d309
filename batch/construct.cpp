// BatchClient's construction.
//
//     BatchClient(url=None, client=None, batch_size=256, linger_ms=5, buffer_bytes=8388608,
//                 timeout_ms=1000, spill_path=None, spill_after_ms=2000, close_timeout_ms=2000,
//                 spool_dir=None, spool_bytes=67108864, sync_ms=500)
//
// Exactly one of url (the native engine) and client (the client engine). Numbers are converted
// with int() as everywhere in quorbel, then their ranges checked. The shipper starts with the
// first record, so a process that forks before logging costs nothing (unless the spool_dir
// held a gone owner's records: those go at once).
#include "batch/construct.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "batch/adopt.h"
#include "batch/engine.h"
#include "module/binder.h"
#include "module/import.h"
#include "module/names.h"

namespace quorbel::batch {

namespace {

using module::Kind;
using module::Name;
using module::Param;

const Name kPipeline{"pipeline"};
const Name kExecuteCommand{"execute_command"};
const Name kInspect{"inspect"};
const Name kIsCoroutineFunction{"iscoroutinefunction"};

constexpr Param kParams[] = {
    Param::optional("url", Kind::OptStr),        Param::optional("client", Kind::Any),
    Param::integer("batch_size", 256),           Param::integer("linger_ms", 5),
    Param::integer("buffer_bytes", 8388608),     Param::integer("timeout_ms", 1000),
    Param::optional("spill_path", Kind::OptStr), Param::integer("spill_after_ms", 2000),
    Param::integer("close_timeout_ms", 2000),    Param::optional("spool_dir", Kind::OptStr),
    Param::integer("spool_bytes", 67108864),     Param::integer("sync_ms", 500),
};
const module::Signature kSig("BatchClient", "BatchClient", kParams, "None", nullptr, nullptr);
enum {
    kUrl,
    kClient,
    kBatchSize,
    kLinger,
    kBufferBytes,
    kTimeout,
    kSpillPath,
    kSpillAfter,
    kCloseTimeout,
    kSpoolDir,
    kSpoolBytes,
    kSyncMs
};

PyObject *param_names = nullptr;
PyObject *defaults = nullptr;

constexpr long long kMaxMs = INT_MAX; // about 24 days: ample, and no overflow in nanoseconds

int in_range(PyObject *value, int index, long long low, long long high, long long &out) noexcept {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (n == -1 && overflow == 0 && PyErr_Occurred())
        return -1;
    if (overflow != 0 || n < low || n > high) {
        PyErr_Format(PyExc_ValueError, "%s must be between %lld and %lld, not %R",
                     kParams[index].name, low, high, value);
        return -1;
    }
    out = n;
    return 0;
}

int read_options(const module::Bound &b, Options &o) noexcept {
    long long batch_size, linger, buffer_bytes, timeout, spill_after, close_timeout, spool_bytes,
        sync_ms;
    if (in_range(b[kBatchSize], kBatchSize, 1, 10000, batch_size) < 0 ||
        in_range(b[kLinger], kLinger, 0, kMaxMs, linger) < 0 ||
        in_range(b[kBufferBytes], kBufferBytes, 1024, PY_SSIZE_T_MAX, buffer_bytes) < 0 ||
        in_range(b[kTimeout], kTimeout, 1, kMaxMs, timeout) < 0 ||
        in_range(b[kSpillAfter], kSpillAfter, 0, kMaxMs, spill_after) < 0 ||
        in_range(b[kCloseTimeout], kCloseTimeout, 0, kMaxMs, close_timeout) < 0 ||
        in_range(b[kSpoolBytes], kSpoolBytes, 65536, PY_SSIZE_T_MAX, spool_bytes) < 0 ||
        in_range(b[kSyncMs], kSyncMs, 1, kMaxMs, sync_ms) < 0)
        return -1;
    o.batch_size = static_cast<std::size_t>(batch_size);
    o.linger_ms = linger;
    o.buffer_bytes = static_cast<std::size_t>(buffer_bytes);
    o.timeout_ms = static_cast<int>(timeout);
    o.spill_after_ms = spill_after;
    o.close_timeout_ms = close_timeout;
    o.spool_bytes = static_cast<std::size_t>(spool_bytes);
    o.sync_ms = sync_ms;
    return 0;
}

Transport *native_transport(PyObject *url, int timeout_ms) noexcept {
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(url));
    char *data;
    Py_ssize_t len;
    if (!utf8 || PyBytes_AsStringAndSize(utf8.get(), &data, &len) < 0)
        return nullptr;
    Endpoint endpoint;
    std::string error;
    if (!parse_url(data, static_cast<std::size_t>(len), endpoint, error)) {
        PyErr_SetString(PyExc_ValueError, error.empty() ? "invalid url" : error.c_str());
        return nullptr;
    }
    Transport *t = make_native_transport(endpoint, timeout_ms);
    if (t == nullptr)
        PyErr_NoMemory();
    return t;
}

// A synchronous redis-py client: it has pipeline(), and its commands are not coroutines.
int check_client(PyObject *client) noexcept {
    Ref pipeline = Ref::steal(PyObject_GetAttr(client, kPipeline));
    if (!pipeline && !PyErr_ExceptionMatches(PyExc_AttributeError))
        return -1;
    if (!pipeline || !PyCallable_Check(pipeline.get())) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "client must be a redis-py client (redis.Redis, Sentinel.master_for(...), "
                     "redis.cluster.RedisCluster), with a pipeline() method; got %R",
                     client);
        return -1;
    }
    Ref execute = Ref::steal(PyObject_GetAttr(client, kExecuteCommand));
    if (!execute) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        return 0;
    }
    Ref test = module::import_attribute(kInspect, kIsCoroutineFunction);
    Ref result =
        test ? Ref::steal(PyObject_CallFunctionObjArgs(test.get(), execute.get(), nullptr)) : Ref();
    const int coroutine = result ? PyObject_IsTrue(result.get()) : -1;
    if (coroutine < 0)
        return -1;
    if (coroutine) {
        PyErr_SetString(PyExc_TypeError,
                        "client is an asyncio client, whose commands return awaitables: pass "
                        "url= or a synchronous redis-py client");
        return -1;
    }
    return 0;
}

// A path in the file system's encoding; -1 with an exception set.
int fs_path(PyObject *path, std::string &out) noexcept {
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(path));
    char *data;
    Py_ssize_t len;
    if (!encoded || PyBytes_AsStringAndSize(encoded.get(), &data, &len) < 0)
        return -1;
    if (std::strlen(data) != static_cast<std::size_t>(len)) {
        PyErr_SetString(PyExc_ValueError, "embedded null byte");
        return -1;
    }
    out.assign(data, static_cast<std::size_t>(len));
    return 0;
}

// Takes over `made` (nullptr when out of memory) and opens its file or folder: the OSError
// names `path`. 0, or -1 with an exception set.
template <typename T> int opened(T *made, PyObject *path, T *&out) noexcept {
    if (made == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    if (const int err = made->open(); err != 0) {
        delete made;
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return -1;
    }
    out = made;
    return 0;
}

// The spool's folder, created if missing and checked writable now, as the spill file is
// opened now.
int open_spool(PyObject *path, const Options &o, Spool *&out) noexcept {
    std::string dir;
    if (fs_path(path, dir) < 0)
        return -1;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return opened(new (std::nothrow) Spool(dir, o.spool_bytes, o.sync_ms), path, out);
}

// The spill file, opened (and created) now, as the handler opens its fallback file.
int open_spill(PyObject *path, Spill *&out) noexcept {
    std::string name;
    if (fs_path(path, name) < 0)
        return -1;
    return opened(new (std::nothrow) Spill(std::move(name)), path, out);
}

} // namespace

int init_construct() noexcept {
    if (param_names != nullptr)
        return 0;
    Ref names = module::make_param_names(kSig);
    Ref values = names ? module::make_defaults(kSig, Py_None) : Ref();
    if (!values)
        return -1;
    param_names = names.release();
    defaults = values.release();
    return 0;
}

Engine *make_engine(PyObject *args, PyObject *kwargs) noexcept {
    module::Bound b;
    if (module::bind_args(kSig, param_names, defaults, args, kwargs, b) < 0)
        return nullptr;
    PyObject *url = b[kUrl], *client = b[kClient], *spill_path = b[kSpillPath],
             *spool_dir = b[kSpoolDir];
    if ((url == Py_None) == (client == Py_None)) {
        PyErr_SetString(PyExc_TypeError, url == Py_None
                                             ? "BatchClient() needs one of url and client"
                                             : "BatchClient() takes url or client, not both");
        return nullptr;
    }
    Options options;
    if (read_options(b, options) < 0 || (client != Py_None && check_client(client) < 0))
        return nullptr;
    Transport *transport =
        url != Py_None ? native_transport(url, options.timeout_ms) : make_client_transport(client);
    if (transport == nullptr)
        return nullptr;
    Spill *spill = nullptr;
    Spool *spool = nullptr;
    Engine *engine = nullptr;
    if ((spill_path == Py_None || open_spill(spill_path, spill) == 0) &&
        (spool_dir == Py_None || open_spool(spool_dir, options, spool) == 0)) {
        engine = Engine::create(options, transport, spill, spool);
        if (engine == nullptr)
            PyErr_NoMemory();
    }
    if (engine == nullptr) {
        transport->release_python();
        delete transport;
        delete spill;
        delete spool;
        return nullptr;
    }
    if (spool != nullptr && adopt_segments(*engine) < 0) {
        // What was taken is closed again, untouched, for a later client.
        engine->transport->release_python();
        engine->detach();
        engine->release();
        return nullptr;
    }
    return engine;
}

} // namespace quorbel::batch
