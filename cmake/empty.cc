// libtrhsm.so is made of trhsm_internal; CMake needs one source of its own.
