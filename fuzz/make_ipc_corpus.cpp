// the seed corpus of the ipc framing target: response messages as the
// emulated driver frames them, each behind the two response capacities
//
//   make_ipc_corpus OUT_DIR

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/cardsim_ipc_frame.h"
#include "fuzz/fuzz_files.h"

namespace {

constexpr uint32_t k_opcode = 0x10001;  // the opcode the target asks with

bool seed(const std::string& dir, const char* name, uint16_t cap1, uint16_t cap2, uint32_t fw_errno,
          const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> bytes = {static_cast<uint8_t>(cap1), static_cast<uint8_t>(cap1 >> 8),
                                  static_cast<uint8_t>(cap2), static_cast<uint8_t>(cap2 >> 8)};
    std::vector<uint8_t> msg = cardsim_ipc_response(0, fw_errno, k_opcode, body);
    bytes.insert(bytes.end(), msg.begin(), msg.end());
    return fuzz_write_file(dir + "/" + name, bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUT_DIR\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    std::vector<uint8_t> info(388);
    for (size_t i = 0; i < info.size(); i++) {
        info[i] = static_cast<uint8_t>(i);
    }
    bool ok = seed(dir, "device_info_one_buffer", 388, 0, 0, info) &&
              seed(dir, "device_info_two_buffers", 100, 300, 0, info) &&
              seed(dir, "status_only", 4, 0, 0, {0, 0, 0, 0}) && seed(dir, "fw_errno", 16, 16, 95, {}) &&
              seed(dir, "empty_body", 0, 0, 0, {}) &&
              seed(dir, "full_body", 1024, 0, 0, std::vector<uint8_t>(1024, 0x5a));
    return ok ? 0 : 1;
}
