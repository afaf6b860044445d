// Visibility of libtrhsm's interface: only declarations marked TRHSM_EXPORT leave libtrhsm.so.
#ifndef TRHSM_TRHSM_EXPORT_H_
#define TRHSM_TRHSM_EXPORT_H_

#define TRHSM_EXPORT __attribute__((visibility("default")))

#endif  // TRHSM_TRHSM_EXPORT_H_
