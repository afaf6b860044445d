// A program without the fault shim linked in, for checking the preloaded copy: writes argv[2] to
// argv[1] + ".tmp", syncs, closes and renames it to argv[1]. Exit status 0 when all of it worked.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::string target = argv[1];
  std::string temporary = target + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return 1;
  size_t length = std::strlen(argv[2]);
  bool ok = ::write(fd, argv[2], length) == static_cast<ssize_t>(length);
  ok = ::fsync(fd) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  ok = ok && std::rename(temporary.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok ? 0 : 1;
}
