// termios2 lives apart from <termios.h>: the two headers cannot be included together.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace quill::test {

bool SetAnyRate(int fd, uint32_t rate) {
  struct termios2 t {};
  if (::ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~(CBAUD | CIBAUD);
  t.c_cflag |= BOTHER;
  t.c_ospeed = rate;
  t.c_ispeed = rate;
  return ::ioctl(fd, TCSETS2, &t) == 0;
}

}  // namespace quill::test
