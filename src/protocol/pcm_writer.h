#pragma once

#include <string_view>

namespace zarvi {

// Where the PCM stream goes: blocks of signed 16-bit little-endian samples, each written whole, in the
// order they are handed over. Callable from any thread.
class PcmWriter {
 public:
  virtual ~PcmWriter() = default;
  virtual void writePcm(std::string_view bytes) = 0;
};

// The protocol's own writer: standard output, each block under writeLock. A host that closed standard
// output loses the PCM, never the process.
class StandardOutputPcm : public PcmWriter {
 public:
  void writePcm(std::string_view bytes) override;
};

}  // namespace zarvi
