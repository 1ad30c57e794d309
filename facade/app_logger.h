// RedisAppLogger: level methods that pass labels and ctx through the standard logging call.
#pragma once

#include "module/ref.h"

namespace quorbel::facade {

// Creates the class as type("RedisAppLogger", (), namespace).
Ref make_app_logger_class() noexcept;

} // namespace quorbel::facade
