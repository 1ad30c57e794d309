// The BatchClient type.
#pragma once

#include "module/ref.h"

namespace quorbel::batch {

// Creates the type and what its methods bind with; once per process. -1 with an exception set.
int init_client_type() noexcept;

// The type (borrowed), once made.
PyObject *client_type() noexcept;

} // namespace quorbel::batch
