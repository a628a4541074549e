#ifndef NRF_SVC__
#define NRF_SVC__

#include "adapter.h"
#include "platform.h"

/* On the host every supervisor call is a function of the serialization library. */
#define SVCALL(number, return_type, signature) SD_RPC_API return_type signature

#endif
