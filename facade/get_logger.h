// get_logger: one-call setup of a logger with a fresh RedisStreamHandler.
#pragma once

#include "module/ref.h"

namespace quorbel::facade {

// level_default: logging.INFO as read at import (borrowed).
Ref make_get_logger(PyObject *level_default) noexcept;

} // namespace quorbel::facade
