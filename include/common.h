/* Base types shared by every module of the field-bus library. */
#ifndef FIELDBUS_COMMON_H
#define FIELDBUS_COMMON_H

#include <stdint.h>

/* A time of day as a signed 64-bit count since the Unix epoch
 * (microseconds or milliseconds, as the producing call says). */
typedef int64_t __tod_t;

#ifdef __cplusplus
#define FIELDBUS_BEGIN_DECLS extern "C" {
#define FIELDBUS_END_DECLS }
#else
#define FIELDBUS_BEGIN_DECLS
#define FIELDBUS_END_DECLS
#endif

#endif
