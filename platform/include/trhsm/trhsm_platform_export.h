// Visibility of the platform stand-ins' interface: everything else in libtrhsm_platform.so is
// hidden.
#ifndef TRHSM_PLATFORM_EXPORT_H_
#define TRHSM_PLATFORM_EXPORT_H_

#define TRHSM_PLATFORM_EXPORT __attribute__((visibility("default")))

// printf-style checking of format arguments; index counts `this` as 1 on member functions.
#define TRHSM_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))

#endif  // TRHSM_PLATFORM_EXPORT_H_
