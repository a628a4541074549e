#pragma once

// windows.h without the parts that clash with the standard library (min, max)
// or that the library never uses. Include this, never windows.h itself.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif
