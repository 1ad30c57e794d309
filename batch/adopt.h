// Taking over the segments of gone owners, when a durable client is made.
#pragma once

#include "module/ref.h"

namespace quorbel::batch {

class Engine;

// The folder's segments whose owner is gone, oldest first, read into e's buffer ahead of
// anything logged, up to about spool_bytes of them; those left (owners alive, or past the
// bound) wait for a later client. With the GIL held; -1 with an exception set.
int adopt_segments(Engine &e) noexcept;

} // namespace quorbel::batch
