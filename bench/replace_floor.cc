// The floor for a stubbing pass: replaces every listed file by the bytes it holds now (a stub)
// through a temporary file, fsync and rename, and prints the files per second of that loop alone.
// With --sync-folder it also fsyncs the folder after each rename, as a durable replacement must;
// with --no-sync it does not even fsync the temporary: what is left is the file system's own cost
// of a replacement (create, write, rename over), below which no durable loop can go.
// usage: replace_floor [--sync-folder|--no-sync] LIST   (LIST holds one path a line)
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const bool syncFolder = argc == 3 && std::string(argv[1]) == "--sync-folder";
  const bool noSync = argc == 3 && std::string(argv[1]) == "--no-sync";
  if (argc != 2 && !syncFolder && !noSync) {
    std::fprintf(stderr, "usage: replace_floor [--sync-folder|--no-sync] LIST\n");
    return 2;
  }
  // Reads every file first: the timed loop does only the replacements.
  std::vector<std::pair<std::string, std::string>> files;
  std::ifstream list(argv[argc - 1]);
  for (std::string path; std::getline(list, path);) {
    if (path.empty()) continue;
    std::ifstream in(path, std::ios::binary);
    files.emplace_back(path, std::string(std::istreambuf_iterator<char>(in), {}));
  }
  const auto start = std::chrono::steady_clock::now();
  for (const auto& [path, bytes] : files) {
    const std::string folder = path.substr(0, path.rfind('/') + 1);
    std::string name = folder + ".trhsm-stub-tmp.XXXXXX";
    const int fd = ::mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) {
      std::perror(name.c_str());
      return 1;
    }
    const bool ok = WriteAll(fd, bytes) && (noSync || ::fsync(fd) == 0);
    if (::close(fd) != 0 || !ok || ::rename(name.c_str(), path.c_str()) != 0) {
      std::perror(path.c_str());
      ::unlink(name.c_str());
      return 1;
    }
    if (syncFolder) {
      const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      const bool synced = dir >= 0 && ::fsync(dir) == 0;
      if (dir >= 0) ::close(dir);
      if (!synced) {
        std::perror(folder.c_str());
        return 1;
      }
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%zu files in %.3f s\n", files.size(), seconds);
  return 0;
}
