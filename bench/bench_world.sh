# Sourced by the bench scripts: the stand-ins' world in the folder $box (made by the caller, who
# is in it): a registry naming index, archive, job-manager and results folders there, and a
# mount table of one root file system.
mkdir -p archive results jobs
cat > registry <<EOR
[Base]
dBACKUP_INDEX=$box/index.db
dARCHIVE_ROOT=$box/archive
dJOB_MANAGER_DIR=$box/jobs
sFOCUS_CLIENT=bench
[Machines/bench]
dJOB_RESULTS_DIR=$box/results/
EOR
echo "/dev/root / ext4 rw 0 0" > mounts
export KO_REGISTRY="$box/registry" KO_MOUNT_TABLE="$box/mounts" KO_LOG_FILE="$box/trhsm.log"
