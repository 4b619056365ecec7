// The byte link: everything the boot and kernel protocols need from the line, and nothing more.
// The serial port implements it for the operating system's devices; tests implement it in memory.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace quill {

class ByteLink {
 public:
  enum class ReadResult { Byte, Timeout, Failed };

  virtual ~ByteLink() = default;

  // Writes all length bytes; false when the line refused them or did not take them in time.
  virtual bool Write(const uint8_t* data, std::size_t length) = 0;

  // Reads one byte, waiting at most timeout for it. Failed when the line hung up or reported an
  // error; Timeout when no byte came in time.
  virtual ReadResult ReadOne(uint8_t& byte, std::chrono::milliseconds timeout) = 0;

  // Whether the user asked the running operation to stop. The protocols ask before every read
  // attempt and before every record, so an abort is noticed within one read timeout.
  virtual bool AbortRequested() const = 0;
};

}  // namespace quill
