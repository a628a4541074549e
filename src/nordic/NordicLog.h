#pragma once

#include "core/Log.h"

namespace lumen::Nordic {

// The Nordic backend writes to the library's log by the same short names.
using details::kDebug;
using details::kError;
using details::kInfo;
using details::kWarning;
using details::Log;

}  // namespace lumen::Nordic
