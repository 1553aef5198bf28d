#pragma once

// the six entry points of the outside jtag library, as the jtag variant calls
// them. every entry returns 0 on success and anything else on failure.
//
//   int jtag_init(int port)          open the jtag link on this port
//   int set_asic_target(int sub_asic) pick the sub-asic behind the link
//   int jtag_reset(int arg)          reset the link (called with 10)
//   int jtag_enable(int arg)         enable the link (called with 10)
//   int jtag_rd(uint64_t addr, uint8_t* buf, uint32_t len)
//                                    read len bytes at card address addr
//   int jtag_wr(uint64_t addr, const uint8_t* buf, uint32_t len)
//                                    write len bytes at card address addr
//
// the entry points are looked up by name at run time; a library only needs to
// export them with c linkage.

#include <cstdint>

extern "C" {
typedef int (*jtag_init_fn)(int port);
typedef int (*jtag_reset_fn)(int arg);
typedef int (*jtag_enable_fn)(int arg);
typedef int (*set_asic_target_fn)(int sub_asic);
typedef int (*jtag_rd_fn)(uint64_t addr, uint8_t* buf, uint32_t len);
typedef int (*jtag_wr_fn)(uint64_t addr, const uint8_t* buf, uint32_t len);
}

// the library loaded when JTAG_LIB_PATH does not name one
#define PAL_JTAG_DEFAULT_LIB "libaccpcie_talmira.so"
// the port used when PAL_J2C_PORT is empty
constexpr int PAL_JTAG_DEFAULT_PORT = 256;
// the argument of jtag_reset and jtag_enable
constexpr int PAL_JTAG_LINK_ARG = 10;
