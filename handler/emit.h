// RedisStreamHandler.emit: one record to one stream entry, or to the fallback file.
#pragma once

#include "module/binder.h"

namespace quorbel::handler {

const module::Signature &emit_signature() noexcept;

// Makes what emit needs ready; once per process.
int init_emit() noexcept;

} // namespace quorbel::handler
