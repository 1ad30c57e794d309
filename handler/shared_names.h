// Interned names that the handler, the facade and the composition root share, declared once.
#pragma once

#include "module/names.h"

namespace quorbel::handler {

// Module-level names: bound by the module body at import, looked up when the code runs.
namespace global {
inline const module::Name logging{"logging"};
inline const module::Name json{"json"};
inline const module::Name time{"time"};
inline const module::Name redis{"redis"};
inline const module::Name has_redis{"HAS_REDIS"};
inline const module::Name rotating_file_handler{"RotatingFileHandler"};
inline const module::Name now_ns{"_now_ns"};
inline const module::Name merge_labels{"_merge_labels"};
inline const module::Name stream_handler{"RedisStreamHandler"};
inline const module::Name app_logger{"RedisAppLogger"};
} // namespace global

// logging's own words: a record's attributes and payload keys (labels and ctx are what the
// facade's extra mapping sets), and keywords of its calls.
namespace field {
inline const module::Name labels{"labels"};
inline const module::Name ctx{"ctx"};
inline const module::Name msg{"msg"};
inline const module::Name level{"level"};
inline const module::Name exc_info{"exc_info"};
} // namespace field

} // namespace quorbel::handler
