// The shipper thread: batches from the buffer to the transport, retries, spills.
#pragma once

namespace quorbel::batch {

// The thread's body; `engine` is an Engine* whose reference the thread owns.
void *run_shipper(void *engine) noexcept;

} // namespace quorbel::batch
