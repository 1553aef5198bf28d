// the seed corpus of a card target, from the card emulator: the target runs
// once per named prefix (its leading selector bytes) with every exchange
// answered by an emulated card, and the prefix with the recorded answers is
// the seed file. linked with one target's source.
//
//   make_corpus_<target> OUT_DIR NAME=HEXPREFIX ...

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "emulator/cardsim_firmware.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

struct emulated_card_s : fuzz_card_recorder_s {
    cardsim_firmware fw{cardsim_default_card(0)};

    bool answer(uint32_t endpoint, uint32_t opcode, const uint8_t* req, size_t req_len, std::vector<uint8_t>& body,
                uint32_t& fw_errno) override
    {
        cardsim_reply_s reply = fw.handle(endpoint, opcode, req, req_len);
        if (reply.silent || reply.driver_errno != 0) {
            return false;
        }
        body = reply.body;
        fw_errno = reply.fw_errno;
        return true;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUT_DIR NAME=HEXPREFIX ...\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    for (int i = 2; i < argc; i++) {
        std::string arg = argv[i];
        size_t eq = arg.find('=');
        std::vector<uint8_t> prefix;
        for (size_t at = eq + 1; eq != std::string::npos && at + 1 < arg.size(); at += 2) {
            prefix.push_back(static_cast<uint8_t>(std::stoul(arg.substr(at, 2), nullptr, 16)));
        }
        if (eq == std::string::npos || (arg.size() - eq - 1) % 2 != 0) {
            fprintf(stderr, "bad seed %s\n", arg.c_str());
            return 2;
        }
        emulated_card_s card;
        fuzz_card_record(&card);
        (void)LLVMFuzzerTestOneInput(prefix.data(), prefix.size());
        fuzz_card_record(nullptr);
        std::vector<uint8_t> seed = prefix;
        seed.insert(seed.end(), card.frames.begin(), card.frames.end());
        std::string path = dir + "/" + arg.substr(0, eq);
        if (!fuzz_write_file(path, seed.data(), seed.size())) {
            fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
        printf("%s: %zu bytes, %zu answers\n", path.c_str(), seed.size(), fuzz_card_exchanges());
    }
    return 0;
}
