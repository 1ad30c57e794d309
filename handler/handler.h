// The RedisStreamHandler class and its initialiser.
#pragma once

#include "handler/config_dict.h"
#include "module/binder.h"
#include "module/names.h"

namespace quorbel::handler {

// Creates the class as a class statement with base logging.Handler would.
Ref make_stream_handler_class() noexcept;

// The connection and content options, in signature order: the initialiser's and get_logger's
// rows for them, each written once.
struct OptionParams {
    using Param = module::Param;
    using Kind = module::Kind;
    static constexpr Param redis_url = Param::optional("redis_url", Kind::OptStr);
    static constexpr Param client = Param::optional("client", Kind::Any);
    static constexpr Param stream_key = Param::text("stream_key", "logs:stream");
    static constexpr Param maxlen = Param::integer("maxlen", 1000000);
    static constexpr Param timeout_ms = Param::integer("timeout_ms", 5);
    static constexpr Param default_labels =
        Param::optional("default_labels", Kind::OptDict).adapted_by(copy_config_dict);
};

// The initialiser's keyword names that get_logger passes on; the stored attributes of the same
// names too.
namespace option {
inline const module::Name redis_url{"redis_url"};
inline const module::Name client{"client"};
inline const module::Name stream_key{"stream_key"};
inline const module::Name maxlen{"maxlen"};
inline const module::Name timeout_ms{"timeout_ms"};
inline const module::Name default_labels{"default_labels"};
inline const module::Name drop_on_error{"drop_on_error"};
inline const module::Name fallback_file_path{"fallback_file_path"};
} // namespace option

// What the initialiser stores besides the options, which emit reads.
namespace stored {
inline const module::Name client{"_client"};
inline const module::Name fallback{"_fallback"};
} // namespace stored

} // namespace quorbel::handler
