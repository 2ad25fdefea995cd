/* Base types shared by every module of the field-bus library. */
#ifndef FIELDBUS_COMMON_H
#define FIELDBUS_COMMON_H

#include <stdint.h>

/* A time of day as a signed 64-bit count since the Unix epoch
 * (microseconds or milliseconds, as the producing call says). */
typedef int64_t __tod_t;

/* Every header wraps its declarations in these. The library is built with
 * its symbols hidden; what stands between them is its interface and is the
 * only thing the shared library exports. */
#if defined(__GNUC__)
#define FIELDBUS_VISIBILITY_PUSH _Pragma("GCC visibility push(default)")
#define FIELDBUS_VISIBILITY_POP _Pragma("GCC visibility pop")
#else
#define FIELDBUS_VISIBILITY_PUSH
#define FIELDBUS_VISIBILITY_POP
#endif
#ifdef __cplusplus
#define FIELDBUS_BEGIN_DECLS FIELDBUS_VISIBILITY_PUSH extern "C" {
#define FIELDBUS_END_DECLS } FIELDBUS_VISIBILITY_POP
#else
#define FIELDBUS_BEGIN_DECLS FIELDBUS_VISIBILITY_PUSH
#define FIELDBUS_END_DECLS FIELDBUS_VISIBILITY_POP
#endif

#endif
