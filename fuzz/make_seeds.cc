// Writes the seed corpora of the core fuzz targets with the library's own writers: stub records by
// trhsm_meta2stub, reparse texts by the database reader's text builders, collect files by
// CollectFile. Usage: fuzz_make_seeds <folder>; writes <folder>/<target>/<seed> (folders must
// not exist yet or are added to).
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "collect/reparse_text.h"
#include "foundation/coding.h"
#include "stub/record_format.h"
#include "trhsm/KoCrc32.h"
#include "trhsm/TRHSMCollectLines.h"
#include "trhsm/TRHSMStubFile.h"

namespace sr = trhsm::stub_record;

namespace {

std::string g_root;

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
  const std::string folder = g_root + "/" + target;
  mkdir(folder.c_str(), 0755);
  std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "fuzz_make_seeds: cannot write %s/%s\n", folder.c_str(), name.c_str());
    std::exit(1);
  }
}

std::string Record(const std::string& metadata, int64_t value) {
  std::string record(static_cast<size_t>(trhsm_meta2stub(metadata.c_str(), value, nullptr, 0)),
                     '\0');
  trhsm_meta2stub(metadata.c_str(), value, &record[0], static_cast<int>(record.size()));
  return record;
}

void FixCrc(std::string* record) {
  uint32_t crc = sr::kCrcSeed;
  ko_crc32(record->data(), record->size() - sr::kCrcSize, &crc);
  trhsm::EncodeFixed32LE(&(*record)[record->size() - sr::kCrcSize], crc);
}

std::string Normal(const std::string& name) {
  std::string text;
  trhsm::collect::BuildNormalReparse(text, 3, "17", "42", "4096", name, 1700000000);
  return text;
}

std::string Turbo(const std::string& guid, const std::string& appGuid) {
  std::string text;
  trhsm::collect::BuildTurboReparse(text, 3, "17", "42", "4096", guid, 33, appGuid, "123456",
                                    1700000000);
  return text;
}

void StubSeeds() {
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"abc", "abc"},
      {"short", "1:2:3:4:5"},
      {"normal", Normal("/data/dir/file.txt")},
      {"turbo", Turbo("0f8e4c2a-1b3d-4e5f-9a7b-6c5d4e3f2a1b", "app-type-guid")},
      {"guid_colon", Turbo("ab:c", "g")},
      {"long_1023", Normal(std::string(1023 - Normal("").size(), 'n'))},
      {"long_1024", Normal(std::string(1024 - Normal("").size(), 'n'))},
  };
  for (const auto& t : texts) {
    const std::string record = Record(t.second, 5);
    Write("stub_record_decode", t.first, record);
    Write("stub_record_raw", t.first, record);
  }
  Write("stub_record_decode", "negative_value", Record("x", -1));

  // Records the decoder refuses, or takes only because it is lenient.
  const std::string base = Record(Turbo("guid", "app"), 9);
  std::string padded = base;  // a metadata length shorter than the record
  trhsm::EncodeFixed16BE(&padded[sr::kMetaLengthOffset], 4);
  FixCrc(&padded);
  std::string terminator = base;  // a stored terminator that is not 0
  terminator[terminator.size() - sr::kCrcSize - 1] = 'Q';
  FixCrc(&terminator);
  std::string overlong = base;  // a metadata length beyond the record, CRC matching
  trhsm::EncodeFixed16BE(&overlong[sr::kMetaLengthOffset], 0xFFFF);
  FixCrc(&overlong);
  std::string badCrc = base;
  badCrc[sr::kMetadataOffset] ^= 1;
  std::string badSignature = base;
  badSignature[3] = 'X';
  std::string badVersion = base;
  badVersion[sr::kVersionOffset] = 2;
  std::string tooShort = base;
  trhsm::EncodeFixed16BE(&tooShort[sr::kLengthOffset], 25);
  std::string lengthBeyond = base;  // declares more bytes than the file holds
  trhsm::EncodeFixed16BE(&lengthBeyond[sr::kLengthOffset], 0xFFFF);
  const std::vector<std::pair<std::string, std::string>> damaged = {
      {"padded", padded},
      {"terminator", terminator},
      {"meta_overlong", overlong},
      {"bad_crc", badCrc},
      {"bad_signature", badSignature},
      {"bad_version", badVersion},
      {"too_short", tooShort},
      {"length_beyond", lengthBeyond},
      {"empty_metadata", Record("", 1)},
      {"nul_first", std::string(1, '\0') + base.substr(1)},
      {"header_only", base.substr(0, 11)},
  };
  for (const auto& d : damaged) {
    Write("stub_record_raw", d.first, d.second);
    if (d.first == "padded" || d.first == "terminator" || d.first == "meta_overlong") {
      Write("stub_record_decode", d.first, d.second);
    }
  }
}

void EncodeSeeds() {
  // Mode byte, eight value bytes, the metadata.
  auto input = [](uint8_t mode, int64_t value, const std::string& text) {
    std::string bytes(9, '\0');
    bytes[0] = static_cast<char>(mode);
    trhsm::EncodeFixed64BE(&bytes[1], static_cast<uint64_t>(value));
    return bytes + text;
  };
  Write("stub_record_encode", "abc", input(0, 5, "abc"));
  Write("stub_record_encode", "empty", input(0, 0, ""));
  Write("stub_record_encode", "negative", input(0, -1, Normal("/a/b")));
  Write("stub_record_encode", "turbo", input(0, INT64_MIN, Turbo("guid", "app")));
  Write("stub_record_encode", "nul_inside", input(0, 7, std::string("ab\0cd", 5)));
  Write("stub_record_encode", "long_1024", input(0, 1, std::string(1024, 'm')));
  // Stretched around the longest metadata: 65509 fits, 65510 does not.
  Write("stub_record_encode", "limit_65509", input(7 | (4 << 3), 2, "xyz"));
  Write("stub_record_encode", "limit_65510", input(7 | (5 << 3), 2, "xyz"));
}

void ReparseSeeds() {
  const std::vector<std::pair<std::string, std::string>> texts = {
      {"short", "1:2:3:4:5"},
      {"six", "1:2:3:4:5:6"},
      {"seven", "1:2:3:4:5:2:4"},
      {"normal", Normal("/data/dir/file.txt")},
      {"normal_bar_name", Normal("/x|y/z")},
      {"turbo", Turbo("0f8e4c2a-1b3d-4e5f-9a7b-6c5d4e3f2a1b", "app-type-guid")},
      {"turbo_colon_guid", Turbo("ab:c", "some-guid")},
      {"turbo_one_part", "1:2:3:4:5:2:4:abcd:33|1700000000"},
      {"turbo_two_parts", "1:2:3:4:5:2:4:abcd:33:x|1700000000"},
      {"layout1_no_bar", "1:2:3:4:5:1:0:123"},
      {"no_seventh_colon", "1:2:3:4:5:2:0"},
      {"guid_negative", "1:2:3:4:5:2:-3:abcd:33|1"},
      {"guid_too_long", "1:2:3:4:5:2:99:abcd:33|1"},
      {"guid_to_end", "1:2:3:4:5:2:4:abcd"},
      {"guid_to_last_byte", "1:2:3:4:5:1:4:abcd|"},
      {"newline_early", "1:2:3\n:4:5:2:4:abcd:33|1"},
      {"bar_early", "1:2:3|:4:5:2:4:abcd:33|1"},
      {"huge_numbers", "99999999999999999999:-99999999999999999999:3:4:5:2:4:abcd:4294967296|9"},
  };
  for (const auto& t : texts) Write("reparse_text", t.first, t.second);
}

void CmdlineSeeds() {
  auto argv = [](const std::vector<std::string>& args) {
    std::string bytes;
    for (size_t i = 0; i < args.size(); ++i) {
      if (i > 0) bytes += '\0';
      bytes += args[i];
    }
    return bytes;
  };
  Write("cmdline", "minimal", argv({"prog", "-j", "5", "-D", "/data/"}));
  Write(
      "cmdline", "full",
      argv({"prog",      "-TrueUp",    "-dct",     "7",           "-vm", "vm1",         "-p",
            "C:\\dir\\", "-cs",        "cs1",      "-i",          "3",   "-Dhost",      "/media//",
            "-s",        "sched",      "-jt",      "jt1",         "-J",  "12345678901", "-a",
            "2:15:7",    "-t",         "4",        "-r",          "99",  "-snaptape",   "-snapJID",
            "77",        "-hadoopURI", "hdfs://x", "-hadoopUser", "u",   "-caa",        "8",
            "-idx2",     "-adhoc",     "-lustre",  "-amr"}));
  Write("cmdline", "type_required", argv({"9prog", "-D", "/d", "-j", "1", "-f", "2", "-s", "x"}));
  Write("cmdline", "bad_type", argv({"prog", "-D", "/d", "-j", "1", "-t", "3"}));
  Write("cmdline", "missing_value", argv({"prog", "-D", "/d", "-j", "1", "-vm"}));
  Write("cmdline", "stop_value", argv({"prog", "-j", "1", "-D", "/d", "-s"}));
  Write("cmdline", "prefix_rows", argv({"prog", "-debug", "3", "-job", "12", "-x", "5"}));
  Write("cmdline", "value_like_option", argv({"prog", "-vm", "-s", "-D", "/", "-a", ":::"}));
  Write("cmdline", "too_long", argv({"prog", "-vm", std::string(256, 'v'), "-D", "/d"}));
  Write("cmdline", "fits_255", argv({"prog", "-vm", std::string(255, 'v'), "-D", "/d", "-j"}));
  Write("cmdline", "short", argv({"prog", "-D", "/d"}));
  Write("cmdline", "app_only", argv({"-A", std::string(80, '7')}));
}

void CollectSeeds() {
  // Header: buffer-size choice, round-trip and line-count flags, size byte, separator byte, call
  // pattern.
  auto collect = [](const std::vector<std::string>& names, bool withTime) {
    const std::string path = g_root + "/collect.tmp";
    CollectFile writer;
    if (writer.Initialize(path) != 1) std::exit(1);
    writer.SetSeperator('|');
    long time = 42;
    for (std::string name : names) writer.AddToCollectFile(&name[0], false, withTime, time++);
    writer.DeInitialize();
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove(path.c_str());
    return bytes;
  };
  auto head = [](uint8_t mode, uint8_t size, uint8_t separator, uint8_t pattern) {
    return std::string{static_cast<char>(mode), static_cast<char>(size),
                       static_cast<char>(separator), static_cast<char>(pattern)};
  };
  const std::string timed = collect({"/data/a.txt", "/x|y/z", "/dir/with space"}, true);
  const std::string plain = collect({"/data/a.txt", "/b"}, false);
  Write("collect_lines", "timed", head(2 << 2, 0, 0, 0xFF) + timed);
  Write("collect_lines", "timed_roundtrip", head(1 << 2, 0, 0, 0xFF) + timed);
  Write("collect_lines", "plain_getline", head(0, 0, 0, 0x00) + plain);
  Write("collect_lines", "mixed", head(1, 0, 0, 0x55) + plain + timed);
  Write("collect_lines", "small_buffer", head(2, 7, 0, 0x00) + timed);
  Write("collect_lines", "tiny_buffer", head(3 | 2 << 2, 0, 0, 0x0F) + "\n\nx\n" + timed);
  Write("collect_lines", "no_last_newline", head(2 << 2, 0, 0, 0xAA) + timed + "|/tail|5|");
  Write("collect_lines", "nul_in_line", head(0, 0, 0, 0x33) + std::string("|a\0b|1|\nab\0\n", 12));
  Write("collect_lines", "long_line",
        head(1, 0, 0, 0x01) + "|" + std::string(2050, 'L') + "|1|\n" + timed);
  // The longest timed line a reader takes (2046 bytes after the first separator, then the
  // newline) and one byte more; the longest line a 1024-byte GetLine buffer takes and one more.
  Write("collect_lines", "timed_longest",
        head(0, 0, 0, 0xFF) + "|" + std::string(2043, 'T') + "|7|\n|" + std::string(2044, 'U') +
            "|8|\n");
  Write("collect_lines", "getline_longest",
        head(0, 0, 0, 0x00) + std::string(1023, 'g') + "\n" + std::string(1024, 'h') + "\n");
  Write("collect_lines", "other_separator",
        head(1 << 2, 0, 0xFE, 0xFF) +
            "\xFE/a\xFE"
            "7\xFE\n");
  Write("collect_lines", "prefix_text", head(0, 0, 0, 0xFF) + "ab|x|7|\n|x|7\n|t| -12|\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds <folder>\n");
    return 2;
  }
  g_root = argv[1];
  mkdir(g_root.c_str(), 0755);
  StubSeeds();
  EncodeSeeds();
  ReparseSeeds();
  CmdlineSeeds();
  CollectSeeds();
  return 0;
}
