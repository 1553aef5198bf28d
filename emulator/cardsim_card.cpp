// the default card: serial, mac, ports and logical interfaces a card of an
// index has unless a test gives its own

#include "emulator/cardsim_card.h"

#include <fmt/format.h>

cardsim_card_spec_s cardsim_default_card(size_t index)
{
    cardsim_card_spec_s spec;
    spec.serial = fmt::format("ORX{:08d}", 26000000 + index);
    spec.mac = {0x00, 0xae, 0xcd, 0x01, static_cast<uint8_t>(index), 0x00};
    spec.port_ifindexes = {cardsim_ifindex(CARDSIM_IFTYPE_ETH, 1, 1), cardsim_ifindex(CARDSIM_IFTYPE_ETH, 1, 2)};
    for (size_t l = 0; l < 2; l++) {
        cardsim_lif_spec_s lif;
        lif.name = fmt::format("lif{}", l);
        // a stable identifier: card and LIF number in the last bytes
        lif.id = {0x0c, 0xa7, 0xd0, 0x00, 0x00, 0x00, 0x40, 0x00, 0x80, 0x00, 0x42, 0x42,
                  0x00, static_cast<uint8_t>(index), 0x00, static_cast<uint8_t>(l)};
        lif.hw_id = static_cast<uint16_t>(0x40 + l);
        spec.lifs.push_back(lif);
    }
    return spec;
}
