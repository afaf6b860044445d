// Writes the seed corpora of the fuzz targets in targets_more.cmake with the library's own
// writers: the backup index query and CollectFile for collect files, the tree list codec, the
// job-client stand-in's restart file and the archive's AppendCopy; hand-written text where the
// platform has no writer (mount table, configuration store). Usage: fuzz_make_seeds_more <folder>;
// writes <folder>/<target>/<seed>.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "collect/reparse_text.h"
#include "job/restart_offset.h"
#include "migrated/tree_list_codec.h"
#include "platform/archive.h"
#include "platform/backup_index.h"
#include "trhsm/KOJobClient.h"
#include "trhsm/TRHSMCollectFile.h"
#include "trhsm/TRHSMCollectLines.h"

namespace tp = trhsm::platform;

namespace {

std::string g_root;
std::string g_work;

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_make_seeds_more: %s\n", what.c_str());
  std::exit(1);
}

void Write(const std::string& target, const std::string& name, const std::string& bytes) {
  const std::string folder = g_root + "/" + target;
  mkdir(folder.c_str(), 0755);
  std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + folder + "/" + name);
}

std::string Read(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) Fail("cannot write " + path);
}

// The collect file that the backup index query writes for job 12, as the normal-mode reader
// asks for it (application type 0, or 124).
std::string QueriedCollectFile(unsigned long appType) {
  const std::string index = g_work + "/index" + std::to_string(appType) + ".db";
  std::string error;
  std::unique_ptr<tp::BackupIndex> db =
      tp::BackupIndex::Open(index, tp::BackupIndex::Mode::kCreate, &error);
  if (db == nullptr) Fail(error);
  const char* names[] = {"/data/a.txt", "/data/with,comma", "/data/\"quoted\"", "/data/back\\slash",
                         "/data/tab\tend"};
  int64_t n = 0;
  for (const char* name : names) {
    tp::BackupItem item;
    item.jobId = 12;
    item.archGroupId = 1;
    item.archFileId = 2;
    item.archFileOffset = 36 * n;
    item.fileSize = 100 + n;
    item.fullFileName = name;
    item.modTime = 1700000000 + n;
    item.inode = 4711 + static_cast<uint64_t>(n);
    item.metadata.emplace_back(643422786, "GUID-" + std::to_string(n));
    if (!db->AddItem(item, &error)) Fail(error);
    ++n;
  }
  db.reset();
  WriteFile(g_work + "/registry", "[Base]\ndBACKUP_INDEX=" + index + "\n");
  setenv("KO_REGISTRY", (g_work + "/registry").c_str(), 1);
  const std::string folder = g_work + "/collect" + std::to_string(appType) + "/";
  mkdir(folder.c_str(), 0755);
  TRHSM_CMDLINE_ARGS args;
  args.collectFolder = folder;
  args.jobId = 12;
  EvEvent events;
  TRHSMCollectFileDBReader reader(args, events, false, "dbStubList", appType);
  if (reader.Initialize() != 1) Fail("the backup index query wrote no collect file");
  return Read(folder + "dbStubList_12.kof");
}

void DbReaderSeeds() {
  const std::string normal = QueriedCollectFile(0);
  const std::string app124 = QueriedCollectFile(124);
  Write("db_reader_items", "normal", '\0' + normal);
  Write("db_reader_items", "normal_124", '\2' + app124);
  Write("db_reader_items", "normal_reports", '\x0c' + normal + "1,2,3\n1,2,3,4,/six,5\n,,,,,,\n");
  Write("db_reader_items", "normal_cut_last", '\0' + normal.substr(0, normal.size() - 3));
  const std::string turbo =
      "1,2,3,4,/t/a,1,G1,42,1700000000,STUBBED\n"
      "0,0,0,0,/t/never,1,G2,-1,5\n"
      "1,2,3,4,\"/t/q,uoted\",1,G3\t,43\n"
      "1,2,3,4,/t/nometa,1,,44,5\n"
      "1,2,3,4,/t/noinode,1,G4,,5\n"
      "short,line\n";
  Write("db_reader_items", "turbo", '\1' + turbo);
  Write("db_reader_items", "turbo_reports", '\x0d' + turbo + "1,2,3,4,/t/cut,1,G5,45");
  Write("db_reader_items", "turbo_long",
        '\1' + std::string("1,2,3,4,/") + std::string(2100, 'l') +
            ",1,G,9,2\n1,2,3,4,/after,1,G,10,2\n");
}

std::string Le16(size_t n) {
  return std::string(1, static_cast<char>(n & 0xff)) + static_cast<char>((n >> 8) & 0xff);
}

void CollectReaderSeeds() {
  const std::string path = g_work + "/stub.kof";
  CollectFile writer;
  if (writer.Initialize(path) != 1) Fail("CollectFile::Initialize");
  writer.SetSeperator('|');
  std::vector<std::string> names = {"/data/a", "/data/with|bar", "/data/b c", "/data/d"};
  long time = 1700000000;
  std::string list;
  unsigned long inode = 100;
  for (std::string& name : names) {
    if (writer.AddToCollectFile(&name[0], false, true, time++) != 1) Fail("AddToCollectFile");
    std::string reparse;
    trhsm::collect::BuildNormalReparse(reparse, 3, "1", "2", "36", name, 1700000000);
    list += reparse + "|" + std::to_string(inode++) + "\n";
  }
  if (writer.DeInitialize() != 1) Fail("CollectFile::DeInitialize");
  const std::string collect = Read(path);
  Write("collect_file_reader", "pairs", Le16(collect.size()) + collect + list);
  Write("collect_file_reader", "short_list",
        Le16(collect.size()) + collect + list.substr(0, list.size() / 2));
  Write("collect_file_reader", "no_inode", Le16(collect.size()) + collect + "reparse-only\n\n");
  Write("collect_file_reader", "plain_line", Le16(collect.size() + 6) + collect + "plain\n" + list);
  Write("collect_file_reader", "long_list_line",
        Le16(collect.size()) + collect + std::string(1100, 'r') + "|5\n" + list);
}

void MountTableSeeds() {
  Write("mount_table", "proc_mounts",
        "/dev/vda1 / ext4 rw,relatime 0 0\nproc /proc proc rw,nosuid 0 0\n"
        "tmpfs /dev/shm tmpfs rw 0 0\n/dev/vdb /mnt/with\\040space xfs ro,noatime 0 0\n");
  Write("mount_table", "four_fields", "dev /m ext4 rw\n\n  \t\nnas:/x /nfs nfs ro\n");
  Write("mount_table", "escapes", "a\\011b /m\\134x ext4 rw 0 0\nd /\\777 x rw 0 0\n");
  Write("mount_table", "malformed", "dev / ext4 rw 0 0\nonly three fields\n");
  Write("mount_table", "long_field", "dev /" + std::string(1030, 'm') + " ext4 rw 0 0\n");
}

void MigratedSeeds() {
  const std::list<std::string> trees = {"/data/a", "/data/b/c", "/", "/home/user with space"};
  const std::string text = trhsm::migrated::FormatTreeList(trees);
  Write("migrated_list", "list", '\0' + text);
  Write("migrated_list", "list_held", '\1' + text);
  Write("migrated_list", "cut_last", '\0' + text.substr(0, text.size() - 2));
  Write("migrated_list", "others", std::string(1, '\0') + "2|/x|\n1||\nx\n1|/y|junk\n1|/z\n");
  Write("migrated_list", "long_line",
        '\0' + std::string("1|/") + std::string(4100, 'p') + "|\n1|/after|\n");
}

void RegistrySeeds() {
  Write("registry", "store",
        "# store\n[Base]\ndVELORA_HOME=/opt/v\nsFOCUS_CLIENT=c1\n"
        "[Machines/c1]\nsHOST_NAME=host1\ndJOB_RESULTS_DIR=/var/jr/c1\n"
        "[Machines/c2/Sub]\nsHOST_NAME=h2\n[Machines/c1]\nsHOST_NAME=again\n");
  Write("registry", "crlf", "[Base]\r\ndARCHIVE_ROOT=/arc\r\n[Machines/w]\r\nx=y=z\r\n");
  Write("registry", "damaged", "value=before\n[Broken\nname=lost\n[]\n=empty\nnoequals\n[Ok]\na=1");
}

void RestartSeeds() {
  const std::string folder = g_work + "/jm";
  mkdir(folder.c_str(), 0755);
  WriteFile(g_work + "/jm_registry", "[Base]\ndJOB_MANAGER_DIR=" + folder + "\n");
  setenv("KO_REGISTRY", (g_work + "/jm_registry").c_str(), 1);
  KOBkpJobClient client;
  if (!client.init("job", 7, 1, KOS_PLATFORM_LINUX, false, nullptr)) Fail("job client init");
  int n = 0;
  for (long offset : {5000L, -20L, 9223372036854775807L}) {
    const std::string text = trhsm::RestartPhaseParameter(offset);
    if (!client.concatPhaseParams(text.c_str(), KOJSCA_REPLACE)) Fail("concatPhaseParams");
    Write("restart_text", "stored_" + std::to_string(n++), Read(folder + "/7.restart"));
  }
  Write("restart_text", "other_option", "-x 5 -r\t12\r\n");
  Write("restart_text", "not_after_r", " -r 5 -x 6");
  Write("restart_text", "overflow", " -r 9223372036854775808");
  Write("restart_text", "empty", "");
}

void ArchiveSeeds() {
  const std::string root = g_work + "/archive";
  int64_t offset = 0;
  std::string error;
  int n = 0;
  for (const std::string& content :
       {std::string("hello, archive\n"), std::string(), std::string(300, 'z')}) {
    const std::string source = g_work + "/source" + std::to_string(n++);
    WriteFile(source, content);
    if (!tp::AppendCopy(root, 1, 2, source, &offset, &error)) Fail(error);
  }
  const std::string archive = Read(tp::ArchiveFilePath(root, 1, 2));
  Write("archive_copy", "three_copies", '\0' + archive);
  Write("archive_copy", "three_copies_fix", '\3' + archive);
  Write("archive_copy", "cut", '\3' + archive.substr(0, archive.size() - 7));
  std::string flipped = archive;
  flipped[40] ^= 1;  // a data byte of the first copy
  Write("archive_copy", "flipped_data", '\1' + flipped);
  std::string header = archive;
  header[8] ^= 0x40;  // the first copy's size, far past the end
  Write("archive_copy", "huge_size", '\1' + header);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) Fail("usage: fuzz_make_seeds_more <corpus folder>");
  g_root = argv[1];
  mkdir(g_root.c_str(), 0755);
  char work[] = "/tmp/trhsm-seeds-XXXXXX";
  if (mkdtemp(work) == nullptr) Fail("mkdtemp");
  g_work = work;
  setenv("KO_LOG_FILE", "/dev/null", 1);
  DbReaderSeeds();
  CollectReaderSeeds();
  MountTableSeeds();
  MigratedSeeds();
  RegistrySeeds();
  RestartSeeds();
  ArchiveSeeds();
  std::error_code ignored;
  std::filesystem::remove_all(g_work, ignored);
  return 0;
}
