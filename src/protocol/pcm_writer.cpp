#include "protocol/pcm_writer.h"

#include <mutex>

#include "os/standard_streams.h"
#include "protocol/process_values.h"

namespace zarvi {

void StandardOutputPcm::writePcm(std::string_view bytes) {
  const std::lock_guard<std::mutex> hold(writeLock);
  os::writeStandardOutput(bytes.data(), bytes.size());
}

}  // namespace zarvi
