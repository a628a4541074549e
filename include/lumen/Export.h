#pragma once

/// \file
/// The export macro of the shared library.

/// \def LUMEN_API
/// Marks what the shared library exports; everything else stays hidden. On Windows it is
/// `__declspec(dllexport)` while lumen itself is built (LUMEN_BUILDING defined) and
/// `__declspec(dllimport)` for applications; elsewhere default visibility. Applications only
/// include it through the other headers.
#if defined(_WIN32)
#if defined(LUMEN_BUILDING)
#define LUMEN_API __declspec(dllexport)
#else
#define LUMEN_API __declspec(dllimport)
#endif
#else
#define LUMEN_API __attribute__((visibility("default")))
#endif
