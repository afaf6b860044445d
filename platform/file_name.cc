// decodeFileName: names in the backup index are stored plain.
#include "trhsm/KoFileName.h"

std::string decodeFileName(const char* name) { return name != nullptr ? std::string(name) : ""; }

std::string decodeFileName(const std::string& name) { return name; }
