#pragma once
// The relay's byte count: kept in Debug and sanitizer builds, where every
// send and completion checks that no byte of a connection has gone astray.
// A Release build keeps none of it on its per-read path.
#if !defined(NDEBUG) || defined(TSY_BYTE_COUNT_BUILD)
#define TSY_BYTE_COUNT 1
#endif
