// default_labels from dictConfig: logging.config's ConvertingDict taken as a plain dict.
#pragma once

#include "module/ref.h"

namespace quorbel::handler {

// The conversion default_labels's row asks for (a module::Adapt): a ConvertingDict becomes a
// plain dict, each entry read through the mapping so that its value conversions (cfg://,
// ext://) apply; anything else is left to the refusal.
int copy_config_dict(PyObject *value, Ref &copy) noexcept;

} // namespace quorbel::handler
