// The RedisStreamHandler class and its initialiser.
#pragma once

#include "module/ref.h"

namespace quorbel::handler {

// Creates the class as a class statement with base logging.Handler would.
Ref make_stream_handler_class() noexcept;

} // namespace quorbel::handler
