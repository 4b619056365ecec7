// The floor of the line benchmark: the chunk exchanges of a user-mode programming run, made by
// the plainest client there is (blocking termios calls, no worker thread, no progress, no file)
// against the same simulated board. What the board and the pseudo-terminal cost shows here;
// what quill-cli takes beyond it is what the host adds.
//
//   quill-bench-line program PORT BPS CHUNKS SIZE
//       CHUNKS programming chunks of SIZE bytes to a kernel that runs; prints the seconds taken
//   quill-bench-line boot PORT BPS KERNEL CHUNKS SIZE
//       synchronisation, the download of kernel image KERNEL with its echoes, the erase-all
//       report, then the chunks, as a boot run makes them; prints the seconds taken
//   quill-bench-line peak COMMAND [ARG]...
//       runs COMMAND and prints its peak resident memory in KB (from a process this small,
//       since the kernel counts the memory a child had before exec into the child's peak)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "resources/fpcode.h"

namespace {

speed_t Speed(long bps) {
  switch (bps) {
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return 0;
  }
}

int g_fd = -1;

bool Put(const uint8_t* data, std::size_t length) {
  return ::write(g_fd, data, length) == static_cast<ssize_t>(length);
}

// One reply byte, at most two seconds away.
int Get() {
  uint8_t byte = 0;
  for (;;) {
    if (::read(g_fd, &byte, 1) == 1) return byte;
    pollfd pfd{g_fd, POLLIN, 0};
    if (::poll(&pfd, 1, 2000) <= 0) return -1;
  }
}

// Ten 0x00 and the reply, the stream with every echo, the erase-all report.
bool Boot(std::span<const unsigned char> image) {
  const uint8_t sync[10] = {};
  if (!Put(sync, sizeof sync) || Get() < 0) return false;
  std::vector<uint8_t> stream = {0x55, static_cast<uint8_t>(image.size() >> 8),
                                 static_cast<uint8_t>(image.size())};
  stream.insert(stream.end(), image.begin(), image.end());
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (!Put(&stream[i], 1) || Get() != (i == 0 ? 0xAA : stream[i])) return false;
  }
  const int report = Get();
  return report >= 0 && report != 0xFF;
}

// Opens the port raw at the speed, 8N1 without flow control, reads returning at once.
bool OpenRaw(const char* port, speed_t speed) {
  g_fd = ::open(port, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (g_fd < 0 || ::tcgetattr(g_fd, &tio) != 0) {
    std::perror(port);
    return false;
  }
  ::cfmakeraw(&tio);
  tio.c_cflag &= ~(CSTOPB | CRTSCTS | PARENB);
  tio.c_cflag |= CLOCAL | CREAD | CS8;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speed);
  ::cfsetospeed(&tio, speed);
  ::tcsetattr(g_fd, TCSANOW, &tio);
  ::tcflush(g_fd, TCIOFLUSH);
  return true;
}

// One chunk at the address: the command, the header, the data and its checksum, each answered.
bool Chunk(uint32_t address, std::vector<uint8_t>& data) {
  const uint32_t size = static_cast<uint32_t>(data.size());
  uint8_t sum = 0;
  for (uint32_t i = 0; i < size; ++i) {
    data[i] = static_cast<uint8_t>(address + i * 7);
    sum = static_cast<uint8_t>(sum + data[i]);
  }
  const uint8_t command[2] = {0x57, 0x00};
  const uint8_t header[8] = {static_cast<uint8_t>(address >> 24), static_cast<uint8_t>(address >> 16),
                             static_cast<uint8_t>(address >> 8),  static_cast<uint8_t>(address),
                             0, 0, 0, static_cast<uint8_t>(size)};
  const uint8_t go = 0x11;
  const uint8_t checksum = static_cast<uint8_t>(0xFF - sum);
  return Put(command, 2) && Get() == 0x06 && Put(header, 8) && Get() == 0x11 && Put(&go, 1) &&
         Put(data.data(), size) && Get() == 0x11 && Put(&go, 1) && Put(&checksum, 1) &&
         Get() == 0x06;
}

void Usage() {
  std::fprintf(stderr,
               "usage: quill-bench-line program PORT BPS CHUNKS SIZE\n"
               "       quill-bench-line boot PORT BPS KERNEL CHUNKS SIZE\n"
               "       quill-bench-line peak COMMAND [ARG]...\n");
}

}  // namespace

int Peak(char** command) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execvp(command[0], command);
    ::_exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return 1;
  std::printf("%ld\n", usage.ru_maxrss);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "peak" && argc > 2) return Peak(argv + 2);
  const bool boot = mode == "boot";
  if (!(boot && argc == 7) && !(mode == "program" && argc == 6)) {
    Usage();
    return 64;
  }
  const char* port = argv[2];
  const speed_t speed = Speed(std::atol(argv[3]));
  std::span<const unsigned char> image;
  int next = 4;
  if (boot) {
    image = quill::FindResource("FPCODE", static_cast<uint32_t>(std::atol(argv[next])));
    if (image.empty()) {
      std::fprintf(stderr, "quill-bench-line: no kernel image %s\n", argv[next]);
      return 64;
    }
    ++next;
  }
  const long chunks = std::atol(argv[next]);
  const uint32_t size = static_cast<uint32_t>(std::atol(argv[next + 1]));
  if (speed == 0 || chunks <= 0 || size == 0 || size > 64) {
    std::fprintf(stderr, "quill-bench-line: bad rate, chunk count or size\n");
    return 64;
  }
  if (!OpenRaw(port, speed)) return 1;

  std::vector<uint8_t> data(size);
  const auto start = std::chrono::steady_clock::now();
  if (boot && !Boot(image)) {
    std::fprintf(stderr, "quill-bench-line: the boot download failed\n");
    return 1;
  }
  for (long k = 0; k < chunks; ++k) {
    if (!Chunk(static_cast<uint32_t>(k) * size, data)) {
      std::fprintf(stderr, "quill-bench-line: chunk %ld failed\n", k);
      return 1;
    }
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::printf("%.6f\n", took.count());
  return 0;
}
