#pragma once

// A class nested in an exported class is exported with it. The Impl classes
// behind the exported scanner and advertising handles are not part of the
// interface, so they are marked hidden.
#if defined(_WIN32)
#define LUMEN_IMPL_HIDDEN
#else
#define LUMEN_IMPL_HIDDEN __attribute__((visibility("hidden")))
#endif
