// A count of mount-table snapshots, so tests can check that the stub cache reads the table only on
// a cache miss.
#ifndef TRHSM_MOUNT_MNT_TAB_READS_H_
#define TRHSM_MOUNT_MNT_TAB_READS_H_

#include <cstdint>

namespace trhsm {
namespace mount {

// The number of TRHSMMntTab objects built (each reads the platform table once) since the process
// started, including those whose read failed. Thread-safe.
uint64_t MountTableReads();

}  // namespace mount
}  // namespace trhsm

#endif  // TRHSM_MOUNT_MNT_TAB_READS_H_
