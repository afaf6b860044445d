// Stub record encode plus decode against the least any encoder and verifying decoder must do.
#include <cstring>
#include <string>
#include <vector>

#include "bench/ratio_report.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/TRHSMStubFile.h"

namespace {

const std::string kMetadata(120, 'm');
constexpr int kRecordLength = 120 + 26;

void BM_StubCodec(benchmark::State& state) {
  std::vector<char> record(kRecordLength);
  char metadata[1024];
  int length = 0;
  int64_t value = 0;
  int64_t v = 0;
  for (auto _ : state) {
    trhsm_meta2stub(kMetadata.c_str(), ++v, record.data(), kRecordLength);
    bool ok = trhsm_stub2meta(record.data(), &length, &value, metadata, sizeof metadata, true);
    benchmark::DoNotOptimize(ok);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StubCodec);

// Two copies of the metadata and two CRCs over the 142 bytes before the CRC field.
void BM_StubBaseline(benchmark::State& state) {
  std::vector<char> record(kRecordLength);
  char metadata[1024];
  for (auto _ : state) {
    std::memcpy(record.data() + 21, kMetadata.data(), 120);
    uint32_t crc = 0xFFFFFFFFu;
    ko_crc32(record.data(), kRecordLength - 4, &crc);
    benchmark::DoNotOptimize(crc);
    uint32_t check = 0xFFFFFFFFu;
    ko_crc32(record.data(), kRecordLength - 4, &check);
    benchmark::DoNotOptimize(check);
    std::memcpy(metadata, record.data() + 21, 120);
    benchmark::DoNotOptimize(metadata);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_StubBaseline);

}  // namespace

int main(int argc, char** argv) {
  return trhsm_bench::RunWithRatios(argc, argv, {{"BM_StubCodec", "BM_StubBaseline", 1.25}});
}
