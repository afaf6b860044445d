// Encodes and decodes one stub record through the installed interface.
#include <trhsm/trhsm.h>

#include <cstdio>
#include <cstring>

int main() {
  char record[64];
  int length = trhsm_meta2stub("abc", 5, record, sizeof record);
  char metadata[16];
  int64_t value = 0;
  if (!trhsm_stub2meta(record, nullptr, &value, metadata, sizeof metadata, false) || value != 5 ||
      std::strcmp(metadata, "abc") != 0 || length != 29) {
    std::puts("consumer: round trip failed");
    return 1;
  }
  std::puts("consumer: ok");
  return 0;
}
