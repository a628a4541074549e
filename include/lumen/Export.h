#pragma once

// LUMEN_API marks what the shared library exports; everything else stays hidden.
#if defined(_WIN32)
#if defined(LUMEN_BUILDING)
#define LUMEN_API __declspec(dllexport)
#else
#define LUMEN_API __declspec(dllimport)
#endif
#else
#define LUMEN_API __attribute__((visibility("default")))
#endif
