// RedisStreamHandler.emit: one record to one stream entry, or to the fallback file.
#pragma once

#include "module/binder.h"

namespace quorbel::handler {

const module::Signature &emit_signature() noexcept;

} // namespace quorbel::handler
