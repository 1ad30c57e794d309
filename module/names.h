// Interned Python strings used by the module, created once when the module executes.
#pragma once

#include "module/ref.h"

namespace quorbel::module {

// X(field, "text"): one interned str per entry, so no call builds a name at run time.
#define QUORBEL_NAMES(X)                                                                           \
    X(json, "json")                                                                                \
    X(logging, "logging")                                                                          \
    X(time, "time")                                                                                \
    X(redis, "redis")                                                                              \
    X(HAS_REDIS, "HAS_REDIS")                                                                      \
    X(RotatingFileHandler, "RotatingFileHandler")                                                  \
    X(RedisStreamHandler, "RedisStreamHandler")                                                    \
    X(RedisAppLogger, "RedisAppLogger")                                                            \
    X(get_logger, "get_logger")                                                                    \
    X(merge_labels, "_merge_labels")                                                               \
    X(now_ns, "_now_ns")                                                                           \
    X(test, "__test__")                                                                            \
    X(builtins, "__builtins__")                                                                    \
    X(dunder_module, "__module__")                                                                 \
    X(dunder_qualname, "__qualname__")                                                             \
    X(dunder_doc, "__doc__")                                                                       \
    X(dunder_dict, "__dict__")                                                                     \
    X(dunder_init, "__init__")                                                                     \
    X(dunder_prepare, "__prepare__")                                                               \
    X(dunder_index, "__index__")                                                                   \
    X(quorbel, "quorbel")                                                                          \
    X(Any, "Any")                                                                                  \
    X(Dict, "Dict")                                                                                \
    X(Optional, "Optional")                                                                        \
    X(Handler, "Handler")                                                                          \
    X(Formatter, "Formatter")                                                                      \
    X(LogRecord, "LogRecord")                                                                      \
    X(INFO, "INFO")                                                                                \
    X(time_ns, "time_ns")                                                                          \
    X(Redis, "Redis")                                                                              \
    X(from_url, "from_url")                                                                        \
    X(socket_connect_timeout, "socket_connect_timeout")                                            \
    X(socket_timeout, "socket_timeout")                                                            \
    X(retry_on_timeout, "retry_on_timeout")                                                        \
    X(maxBytes, "maxBytes")                                                                        \
    X(backupCount, "backupCount")                                                                  \
    X(encoding, "encoding")                                                                        \
    X(utf_8, "utf-8")                                                                              \
    X(message_format, "%(message)s")                                                               \
    X(setFormatter, "setFormatter")                                                                \
    X(stream_key, "stream_key")                                                                    \
    X(maxlen, "maxlen")                                                                            \
    X(default_labels, "default_labels")                                                            \
    X(drop_on_error, "drop_on_error")                                                              \
    X(client_attr, "_client")                                                                      \
    X(timeout_attr, "_timeout")                                                                    \
    X(fallback_attr, "_fallback")                                                                  \
    X(labels, "labels")                                                                            \
    X(ctx, "ctx")                                                                                  \
    X(levelname, "levelname")                                                                      \
    X(getMessage, "getMessage")                                                                    \
    X(lower, "lower")                                                                              \
    X(xadd, "xadd")                                                                                \
    X(payload, "payload")                                                                          \
    X(approximate, "approximate")                                                                  \
    X(name, "name")                                                                                \
    X(level, "level")                                                                              \
    X(levelno, "levelno")                                                                          \
    X(pathname, "pathname")                                                                        \
    X(lineno, "lineno")                                                                            \
    X(msg, "msg")                                                                                  \
    X(args, "args")                                                                                \
    X(exc_info, "exc_info")                                                                        \
    X(emit, "emit")                                                                                \
    X(handleError, "handleError")                                                                  \
    X(getLogger, "getLogger")                                                                      \
    X(setLevel, "setLevel")                                                                        \
    X(handlers, "handlers")                                                                        \
    X(removeHandler, "removeHandler")                                                              \
    X(addHandler, "addHandler")                                                                    \
    X(redis_url, "redis_url")                                                                      \
    X(client, "client")                                                                            \
    X(timeout_ms, "timeout_ms")                                                                    \
    X(fallback_file_path, "fallback_file_path")                                                    \
    X(fallback_max_bytes, "fallback_max_bytes")                                                    \
    X(fallback_backup_count, "fallback_backup_count")                                              \
    X(log_attr, "_log")                                                                            \
    X(extra, "extra")                                                                              \
    X(debug, "debug")                                                                              \
    X(info, "info")                                                                                \
    X(warning, "warning")                                                                          \
    X(error, "error")                                                                              \
    X(ts, "ts")                                                                                    \
    X(dumps, "dumps")                                                                              \
    X(JSONEncoder, "JSONEncoder")                                                                  \
    X(ensure_ascii, "ensure_ascii")                                                                \
    X(separators, "separators")                                                                    \
    X(comma, ",")                                                                                  \
    X(colon, ":")                                                                                  \
    X(config, "config")                                                                            \
    X(ConvertingDict, "ConvertingDict")

struct Names {
#define QUORBEL_NAME_FIELD(field, text) PyObject *field = nullptr;
    QUORBEL_NAMES(QUORBEL_NAME_FIELD)
#undef QUORBEL_NAME_FIELD
};

// Filled by init_names(); the strings live for the life of the process.
extern Names names;

// Interns every name (once per process); -1 with an exception set on failure.
int init_names() noexcept;

} // namespace quorbel::module
