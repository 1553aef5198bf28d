// the LIF and port counter tables: names and their offsets in the card's counter blocks

#include "monitor/counter_maps.h"

const orlixmon_counter_map_t lif_counter_map = {
    {"tx_rdma_unicast_bytes", 384},
    {"tx_rdma_unicast_packets", 392},
    {"rx_rdma_unicast_bytes", 448},
    {"rx_rdma_unicast_packets", 456},
    {"tx_rdma_retransmit_bytes", 688},
    {"tx_rdma_retransmit_packets", 696},
    {"rx_rdma_responder_dup_requests", 896},
};

const orlixmon_counter_map_t port_counter_map = {
    {"frames_tx_ok", 0},
    {"frames_rx_ok", 16},
};

const orlixmon_counter_map_t card_counter_map = {};
