// The RedisStreamHandler class and its initialiser.
#pragma once

#include "module/binder.h"

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
        Param::optional("default_labels", Kind::OptDict).accepting_config_dict();
};

} // namespace quorbel::handler
