#pragma once
// Symbols of the shared libraries are hidden unless marked. Plain exports are extern "C".
#define QEL_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define QEL_EXTERN_C extern "C"
#else
#define QEL_EXTERN_C
#endif

#define QEL_C_EXPORT QEL_EXTERN_C QEL_EXPORT
