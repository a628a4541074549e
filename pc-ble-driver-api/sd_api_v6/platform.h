/* Linkage of the connectivity-board API functions. */
#ifndef PLATFORM_H__
#define PLATFORM_H__

#if defined(PC_BLE_DRIVER_STATIC)
#define SD_RPC_API_VISIBILITY
#elif defined(_WIN32)
#if defined(SD_RPC_EXPORTS)
#define SD_RPC_API_VISIBILITY __declspec(dllexport)
#else
#define SD_RPC_API_VISIBILITY __declspec(dllimport)
#endif
#elif defined(SD_RPC_EXPORTS)
#define SD_RPC_API_VISIBILITY __attribute__((visibility("default")))
#else
#define SD_RPC_API_VISIBILITY
#endif

#ifdef __cplusplus
#define SD_RPC_API extern "C" SD_RPC_API_VISIBILITY
#else
#define SD_RPC_API SD_RPC_API_VISIBILITY
#endif

#endif
