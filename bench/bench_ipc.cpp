// one request and its response with the card's firmware through the
// emulator: DEVICE_INFO, as discovery sends it, over the IPC character
// device and over fwctl

#include "bench/bench_support.h"
#include "ipc/nic_ipc.h"

namespace {

constexpr uint32_t k_ep_card = 0x13, k_op_device_info = 0x10001;
constexpr size_t k_device_info_rsp = 388;

void BM_IpcRequest(benchmark::State& state)
{
    cardsim_host* host = bench_host(state);
    if (host == nullptr) {
        return;
    }
    const int transport = static_cast<int>(state.range(0));
    nic_ipc_init(transport, false);
    nic_ipc_handle_s handle;
    if (nic_ipc_open(&handle, host->card(0).card_bdf.c_str()) != 0) {
        state.SkipWithError("the card's IPC channel does not open");
        nic_ipc_init(NIC_IPC_TRANSPORT_VOSK, false);
        return;
    }
    uint8_t buf[IPC_CMD_MAX_BODY] = {};
    uint64_t failures = 0;
    for (auto _ : state) {
        uint32_t fw_errno = 0;
        ssize_t n = nic_ipc_req_rsp(&handle, k_ep_card, k_op_device_info, buf, 0, k_device_info_rsp, &fw_errno);
        if (n != static_cast<ssize_t>(k_device_info_rsp) || fw_errno != 0) {
            failures++;
        }
    }
    nic_ipc_close(&handle);
    nic_ipc_init(NIC_IPC_TRANSPORT_VOSK, false);
    if (failures) {
        state.SkipWithError("the card did not answer every request");
    }
}

}  // namespace

BENCHMARK(BM_IpcRequest)->ArgName("transport")->Arg(NIC_IPC_TRANSPORT_VOSK)->Arg(NIC_IPC_TRANSPORT_FWCTL)
    ->Unit(benchmark::kMicrosecond);
