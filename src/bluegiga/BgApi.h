#pragma once

// Everything the Bluegiga backend uses of the BGAPI message layer: records,
// command encoders, the message table, lookup and dispatch.
#include "bluegiga/BgDispatch.h"
#include "bluegiga/BgMessageDef.h"
#include "bluegiga/BgMessages.h"
#include "bluegiga/BgSend.h"
#include "bluegiga/BgTypes.h"
#include "core/CommonDataNotificationEvent.h"
